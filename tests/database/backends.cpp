#include "backends.h"

#include "odbc.h"

#include <cctype>
#include <functional>

namespace pupdate::testing {

namespace {

class SqliteBackend : public Database {
public:
    explicit SqliteBackend(const TempDir& dir) : m_db(dir / "test.db", false) {}
    std::string connectionString() const override { return m_db.connectionString(); }

private:
    SqliteDatabase m_db;
};

class PostgresBackend : public Database {
public:
    PostgresBackend() : m_name(testDatabaseName()) {
        PostgresCluster::instance().createDatabase(m_name);
    }
    std::string connectionString() const override {
        return PostgresCluster::instance().connectionString(m_name);
    }

private:
    std::string m_name;
};

} // namespace

std::string backendLabel(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
}

std::vector<std::string> Database::column(const std::string& sql) const {
    odbc::Connection connection;
    connection.open(connectionString());
    std::vector<std::string> values;
    for (const odbc::Row& row : connection.queryAll(sql)) {
        values.push_back(row.at(0).value_or("NULL"));
    }
    return values;
}

void Database::exec(const std::string& sql) const {
    odbc::Connection connection;
    connection.open(connectionString());
    connection.execute(sql);
}

std::unique_ptr<Database> Database::make(Backend backend, const TempDir& dir) {
    if (backend == Backend::Sqlite) {
        return std::make_unique<SqliteBackend>(dir);
    }
    return std::make_unique<PostgresBackend>();
}

std::string testDatabaseName() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "db_";
    for (const char c : std::string(test->test_suite_name()) + "_" + test->name()) {
        name.push_back(
            std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_');
    }
    // PostgreSQL keeps 63 bytes of a name; long names end in a hash to stay apart.
    if (name.size() > 60) {
        const std::size_t hash = std::hash<std::string>{}(name);
        name = name.substr(0, 40) + "_" + std::to_string(hash % 1000000007u);
    }
    return name;
}

} // namespace pupdate::testing
