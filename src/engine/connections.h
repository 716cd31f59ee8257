#pragma once
// The run's connection string and its mapping onto an ODBC connection string.

#include "odbc.h"

#include <string>
#include <string_view>

namespace pupdate {

inline constexpr std::string_view kLoginUser = "zelt2002";
inline constexpr std::string_view kLoginPassword = "kp4719";
inline constexpr std::string_view kVersionProbe = "select verdate from gs_ver";
// ODBC connection string template used when P_UPDATE_ODBC is not set: the SQL Server
// driver that every Windows has, and FreeTDS elsewhere.
#ifdef _WIN32
inline constexpr std::string_view kDefaultOdbcTemplate =
    "Driver={SQL Server};Server=%SERVER%;Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%";
#else
inline constexpr std::string_view kDefaultOdbcTemplate =
    "Driver={FreeTDS};Server=%SERVER%;Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%;"
    "ClientCharset=UTF-8";
#endif

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

// Proves, after a statement of the walk failed, that the transaction the walk began is
// still open and sound, so that no later statement runs on its own. What can be proven
// depends on the database: SQL Server's XACT_STATE(), PostgreSQL's transaction number
// (read when the walk begins; a roll-back or an aborted transaction changes it or refuses
// the question), and SQLite's refusal to begin a transaction inside one. Of any other
// database nothing is asked.
class TransactionProof {
public:
    // Right after the walk has begun its transaction on `connection`.
    void begin(odbc::Connection& connection);
    // False when the database has ended, rolled back or doomed that transaction.
    bool holds(odbc::Connection& connection) const;

private:
    enum class Database { SqlServer, PostgreSql, Sqlite, Other };
    Database m_database = Database::Other;
    std::string m_transactionNumber;
};

} // namespace pupdate
