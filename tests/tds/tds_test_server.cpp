#include "tds_test_server.h"

#include "databases.h"
#include "host_path.h"
#include "odbc.h"

namespace pupdate::testing {

namespace fs = std::filesystem;

std::string TdsTestServer::dataSource() const {
    return "127.0.0.1," + std::to_string(m_port);
}

std::string TdsTestServer::connectionString(const std::string& database,
                                            const std::string& tdsVersion) const {
    std::string text = "Driver={FreeTDS};Server=" + dataSource() + ";Database=" + database +
                       ";UID=zelt2002;PWD=kp4719;ClientCharset=UTF-8";
    if (!tdsVersion.empty()) {
        text += ";TDS_Version=" + tdsVersion;
    }
    return text;
}

fs::path TdsTestServer::databaseFile(const std::string& name) const {
    return m_dataDir / pathFromUtf8(name + ".db");
}

void TdsTestServer::createDatabase(const std::string& name, bool withVersionTable) const {
    SqliteDatabase database(databaseFile(name), withVersionTable);
}

namespace {

// The file as the SQLite3 ODBC driver opens it, without creating a missing one.
std::string sqliteConnectionString(const fs::path& file) {
    return "Driver={SQLite3};Database=" + hostPath(file) + ";NoCreat=1";
}

} // namespace

void TdsTestServer::sqlite(const std::string& database, const std::string& sql) const {
    odbc::Connection connection;
    connection.open(sqliteConnectionString(databaseFile(database)));
    connection.execute(sql);
}

std::vector<std::vector<std::string>> TdsTestServer::sqliteRows(const std::string& database,
                                                                const std::string& sql) const {
    std::vector<std::vector<std::string>> rows;
    odbc::Connection connection;
    connection.open(sqliteConnectionString(databaseFile(database)));
    for (const odbc::Row& row : connection.queryAll(sql)) {
        std::vector<std::string> values;
        for (const odbc::Value& value : row) {
            values.push_back(value.value_or("NULL"));
        }
        rows.push_back(std::move(values));
    }
    return rows;
}

void TdsTestServer::setFailures(const std::string& rulesJsonArray) const {
    // Written aside and renamed, so the server never reads half a file.
    const fs::path next = m_folder / "control.json.next";
    writeFile(next, "{\"failures\": " + rulesJsonArray + "}\n");
    fs::rename(next, m_control);
}

void TdsTestServer::clearLog() const {
    fs::resize_file(m_log, 0);
}

std::vector<JsonValue> TdsTestServer::events() const {
    return readJsonLines(m_log);
}

std::vector<JsonValue> TdsTestServer::events(const std::string& kind) const {
    std::vector<JsonValue> selected;
    for (JsonValue& event : events()) {
        if (event["event"].string() == kind) {
            selected.push_back(std::move(event));
        }
    }
    return selected;
}

std::string describe(const std::vector<JsonValue>& events) {
    std::string out;
    for (const JsonValue& event : events) {
        out += event.text() + "\n";
    }
    return out;
}

} // namespace pupdate::testing
