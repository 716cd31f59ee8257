#pragma once
// Real databases for the tests, reached through the real ODBC driver manager:
// a SQLite file through the SQLite3 ODBC driver, and PostgreSQL through psqlODBC on a
// private cluster that the test program starts and stops itself.

#include "odbc.h"

#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pupdate::testing {

// A SQLite database file with the application's version table gs_ver(verdate) when
// `withVersionTable` is set.
class SqliteDatabase {
public:
    explicit SqliteDatabase(std::filesystem::path file, bool withVersionTable = true);

    const std::filesystem::path& file() const { return m_file; }
    // "Driver={SQLite3};Database=<file>"
    std::string connectionString() const;
    // A template for the run that reaches this file whatever the database name is.
    std::string odbcTemplate() const;
    // A template that reaches <folder>/<database name>.db, for database names from E_db.
    static std::string folderTemplate(const std::filesystem::path& folder);

    // Autocommit statement on a connection of its own.
    void exec(const std::string& sql) const;
    std::vector<odbc::Row> query(const std::string& sql) const;

private:
    std::filesystem::path m_file;
};

// Keeps other test programs away from the database `name` on the PostgreSQL cluster until
// the result goes, for a database of a fixed name (a test's own are named by
// testDatabaseName()). Under Wine the test programs share the cluster the host runs;
// elsewhere each has its own and nothing is held.
std::shared_ptr<void> holdDatabaseName(const std::string& name);

// A PostgreSQL cluster in a private folder on a private port, owned by the postgres
// system user, started on first use and stopped when the test program ends. The login
// zelt2002/kp4719 exists and may create databases.
class PostgresCluster {
public:
    static PostgresCluster& instance();

    int port() const { return m_port; }
    // The cluster's folder; it holds the server's socket.
    const std::filesystem::path& folder() const { return m_folder; }
    // Drops and creates a database owned by zelt2002.
    void createDatabase(const std::string& name);
    // Template for the run: psqlODBC (Unicode) with %DATABASE%, %USER%, %PASSWORD%,
    // statement-level roll-back pinned with Protocol=7.4-2.
    std::string odbcTemplate() const;
    std::string connectionString(const std::string& database) const;
    void exec(const std::string& database, const std::string& sql) const;
    std::vector<odbc::Row> query(const std::string& database, const std::string& sql) const;
    // Stops the server at once (for fault-injection tests) and starts it again.
    void stop();
    void start();

    ~PostgresCluster();

    // Makes a stopped cluster with the login in place, which the test programs of one run
    // copy instead of running initdb each, in a fresh folder of its own under /tmp that
    // the postgres user can reach; returns the folder.
    static std::filesystem::path makeTemplate();
    // The template folder named in the file `location`; empty when there is none.
    static std::filesystem::path readTemplateLocation(const std::filesystem::path& location);
    // Removes the template folder named in `location`, and that file.
    static void removeTemplate(const std::filesystem::path& location);

private:
    explicit PostgresCluster(bool fromTemplate);
    void stopCleanly();
    std::filesystem::path m_folder;
    int m_port = 0;
    bool m_running = false;
    pid_t m_watcher = -1;   // stops and removes the cluster when the test program is gone
    int m_watcherPipe = -1; // its end closes when the test program ends
};

} // namespace pupdate::testing
