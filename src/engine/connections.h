#pragma once
// The run's two database connections: the connection string the run keeps (ConnStr),
// its mapping onto an ODBC connection string, and both connections opened with it and
// proven to reach a database of the application.

#include "odbc.h"

#include <string>
#include <string_view>

namespace pupdate {

inline constexpr std::string_view kLoginUser = "zelt2002";
inline constexpr std::string_view kLoginPassword = "kp4719";
inline constexpr std::string_view kVersionProbe = "select verdate from gs_ver";

// ODBC connection string template used when P_UPDATE_ODBC is not set: the SQL Server
// driver that every Windows has, and FreeTDS elsewhere (default_template_<platform>.cpp).
std::string_view defaultOdbcTemplate();

// The connection string kept in ConnStr, built from the trimmed server and database names.
std::string buildConnStr(std::string_view server, std::string_view database);

// The template from P_UPDATE_ODBC, or the default one.
std::string odbcTemplate();

// True when every attribute of an ADO-style connection string is a key with a value: a
// piece without '=' (what a ';' inside a name leaves behind) means the string does not
// say what it seems to.
bool attributesAreWellFormed(std::string_view connStr);
// The value of a key of an ADO-style connection string, trimmed; empty when missing.
std::string connStrValue(std::string_view connStr, std::string_view key);

// Fills the template from an ADO-style connection string (keys case-insensitive and
// trimmed): %SERVER% is the Data Source ("(local)" and "." become "localhost"),
// %DATABASE% the Initial Catalog, %USER% and %PASSWORD% the login. A value holding ';',
// '{', '}', '=' or edge blanks is put in braces with '}' doubled.
std::string toOdbcConnectionString(std::string_view connStr, std::string_view odbcTemplate);

// ADOCONN, which carries the run's transaction, and ADOCONN1, which calls the server for
// server-side scripts outside it, opened on one connection string.
class Connections {
public:
    // Builds ConnStr from the server and database names, then opens both connections
    // afresh with the template filled from it. Raises what stopped it: a name that would
    // add attributes to the connection string, or the driver's refusal (an unreachable
    // server, a missing database, a refused login), the first connection then perhaps open.
    void open(std::string_view server, std::string_view database, std::string_view odbcTemplate);
    // Reads the version table on ADOCONN: only proves that this is a database of the
    // application (the value is not used); raises when it is not.
    void probeVersion();

    const std::string& ConnStr() const { return m_connStr; }
    // The database name both connections were opened with (not the field, which may
    // say more); empty until they are.
    const std::string& openedDatabase() const { return m_openedDatabase; }
    odbc::Connection& ADOCONN() { return m_adoconn; }
    odbc::Connection& ADOCONN1() { return m_adoconn1; }

private:
    std::string m_connStr;
    std::string m_openedDatabase;
    odbc::Connection m_adoconn;
    odbc::Connection m_adoconn1;
};

} // namespace pupdate
