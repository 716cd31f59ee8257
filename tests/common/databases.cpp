#include "databases.h"

#include "host_path.h"
#include "utf8_path.h"

#include <system_error>

namespace pupdate::testing {

namespace fs = std::filesystem;
// ---------------------------------------------------------------------------------------
// SQLite

SqliteDatabase::SqliteDatabase(fs::path file, bool withVersionTable) : m_file(std::move(file)) {
    std::error_code ignored;
    fs::remove(m_file, ignored);
    if (m_file.has_parent_path()) {
        fs::create_directories(m_file.parent_path());
    }
    // The driver creates the file when it connects.
    odbc::Connection connection;
    connection.open(connectionString());
    if (withVersionTable) {
        connection.execute("create table gs_ver (verdate varchar(30))");
        connection.execute("insert into gs_ver (verdate) values ('2003-06-01')");
    }
    connection.close();
}

std::string SqliteDatabase::connectionString() const {
    return "Driver={SQLite3};Database=" + hostPath(m_file);
}

std::string SqliteDatabase::odbcTemplate() const {
    return connectionString();
}

std::string SqliteDatabase::folderTemplate(const fs::path& folder) {
    // NoCreat: a database that does not exist is an error, as it is on a server, instead
    // of a fresh empty file.
    return "Driver={SQLite3};Database=" + hostPath(folder) + "/%DATABASE%.db;NoCreat=1";
}

void SqliteDatabase::exec(const std::string& sql) const {
    odbc::Connection connection;
    connection.open(connectionString());
    connection.execute(sql);
}

std::vector<odbc::Row> SqliteDatabase::query(const std::string& sql) const {
    odbc::Connection connection;
    connection.open(connectionString());
    return connection.queryAll(sql);
}

// ---------------------------------------------------------------------------------------
// PostgreSQL: what both platforms do on a running cluster

namespace {

std::string quotedIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (const char c : name) {
        quoted.push_back(c);
        if (c == '"') {
            quoted.push_back('"');
        }
    }
    quoted.push_back('"');
    return quoted;
}

} // namespace

void PostgresCluster::createDatabase(const std::string& name) {
    odbc::Connection superuser;
    superuser.open("Driver={PostgreSQL Unicode};Servername=" + pathToUtf8(m_folder) +
                   ";Port=" + std::to_string(m_port) + ";Database=postgres;UID=postgres");
    superuser.execute("drop database if exists " + quotedIdentifier(name) + " with (force)");
    superuser.execute("create database " + quotedIdentifier(name) + " owner zelt2002");
}

std::string PostgresCluster::odbcTemplate() const {
    return "Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=" + std::to_string(m_port) +
           ";Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%;Protocol=7.4-2";
}

std::string PostgresCluster::connectionString(const std::string& database) const {
    return "Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=" + std::to_string(m_port) +
           ";Database=" + database + ";UID=zelt2002;PWD=kp4719;Protocol=7.4-2";
}

void PostgresCluster::exec(const std::string& database, const std::string& sql) const {
    odbc::Connection connection;
    connection.open(connectionString(database));
    connection.execute(sql);
}

std::vector<odbc::Row> PostgresCluster::query(const std::string& database,
                                              const std::string& sql) const {
    odbc::Connection connection;
    connection.open(connectionString(database));
    return connection.queryAll(sql);
}

} // namespace pupdate::testing
