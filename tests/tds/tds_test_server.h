#pragma once
// The project's TDS test server (tds_server.py beside this file) as a child process on a
// free port of 127.0.0.1, with its own data folder, event log and control file. The
// upgrade program reaches it through the real FreeTDS ODBC driver.

#include "json_lines.h"
#include "temp_dir.h"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pupdate::testing {

struct TdsServerOptions {
    // Also answer SQL Server Browser requests on this UDP port for `instance`.
    std::optional<int> browserPort;
    std::string instance = "MSSQLSERVER";
    // A Wine prefix's dosdevices folder, through which the osql stand-in reads script
    // paths with a drive letter (the Windows test programs' scripts).
    std::filesystem::path dosDevices;
};

class TdsTestServer {
public:
    explicit TdsTestServer(TdsServerOptions options = {});
    ~TdsTestServer();
    TdsTestServer(const TdsTestServer&) = delete;
    TdsTestServer& operator=(const TdsTestServer&) = delete;

    int port() const { return m_port; }
    // False when the browser port was taken by another process; browserStatus() says why.
    bool browserAvailable() const { return m_browserStatus == "browser:ok"; }
    const std::string& browserStatus() const { return m_browserStatus; }

    // "127.0.0.1,<port>": a Data Source that FreeTDS reads as host and port.
    std::string dataSource() const;
    // An ODBC connection string for `database` with the program's login.
    std::string connectionString(const std::string& database,
                                 const std::string& tdsVersion = "") const;

    // DIR/<name>.db; the server knows a database only when its file exists.
    std::filesystem::path databaseFile(const std::string& name) const;
    // Creates the file, with the application's version table gs_ver when asked.
    void createDatabase(const std::string& name, bool withVersionTable = true) const;
    // Statements and queries straight on a database's file (SQLite3 ODBC driver), not
    // through the server.
    void sqlite(const std::string& database, const std::string& sql) const;
    std::vector<std::vector<std::string>> sqliteRows(const std::string& database,
                                                     const std::string& sql) const;

    // Replaces the failure rules: the JSON array of the control file's "failures".
    void setFailures(const std::string& rulesJsonArray) const;
    // Forgets what the log holds so far.
    void clearLog() const;
    // The log's events, all or those of one kind.
    std::vector<JsonValue> events() const;
    std::vector<JsonValue> events(const std::string& kind) const;

    // A folder for the test's own files (scripts, packages), removed with the server.
    const TempDir& folder() const { return m_folder; }

    void stop();

private:
    std::string readLine();

    TempDir m_folder;
    std::filesystem::path m_dataDir;
    std::filesystem::path m_log;
    std::filesystem::path m_control;
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    int m_port = 0;
    std::string m_browserStatus;
};

// A readable summary of events for failure messages: one "event: fields" per line.
std::string describe(const std::vector<JsonValue>& events);

} // namespace pupdate::testing
