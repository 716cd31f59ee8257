#pragma once
// The run's connection string and its mapping onto an ODBC connection string.

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

// Fills the template from an ADO-style connection string (keys case-insensitive and
// trimmed): %SERVER% is the Data Source ("(local)" and "." become "localhost"),
// %DATABASE% the Initial Catalog, %USER% and %PASSWORD% the login. A value holding ';',
// '{', '}', '=' or edge blanks is put in braces with '}' doubled.
std::string toOdbcConnectionString(std::string_view connStr, std::string_view odbcTemplate);

} // namespace pupdate
