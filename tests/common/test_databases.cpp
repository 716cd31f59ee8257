#include "test_databases.h"

#include <cctype>
#include <functional>

namespace pupdate::testing {

namespace {

class SqliteTestDatabase : public TestDatabase {
public:
    SqliteTestDatabase(const TempDir& dir, bool withVersionTable)
        : m_db(dir / "zeltinfo.db", withVersionTable) {}
    std::string name() const override { return "zeltinfo"; }
    std::string connectionString() const override { return m_db.connectionString(); }
    // Foreign keys enforced, so that a deferred constraint can fail a commit.
    std::string odbcTemplate() const override { return m_db.odbcTemplate() + ";FKSupport=1"; }

private:
    SqliteDatabase m_db;
};

} // namespace

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
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

void TestDatabase::exec(const std::string& sql) const {
    odbc::Connection connection;
    connection.open(connectionString());
    connection.execute(sql);
}

std::vector<odbc::Row> TestDatabase::query(const std::string& sql) const {
    odbc::Connection connection;
    connection.open(connectionString());
    return connection.queryAll(sql);
}

std::vector<std::string> TestDatabase::column(const std::string& sql) const {
    std::vector<std::string> values;
    for (const odbc::Row& row : query(sql)) {
        values.push_back(row.empty() ? "NULL" : row[0].value_or("NULL"));
    }
    return values;
}

PostgresTestDatabase::PostgresTestDatabase(std::string name, bool withVersionTable)
    : m_hold(holdDatabaseName(name)), m_name(std::move(name)) {
    PostgresCluster::instance().createDatabase(m_name);
    if (withVersionTable) {
        exec("create table gs_ver (verdate varchar(30))");
        exec("insert into gs_ver (verdate) values ('2003-06-01')");
    }
}

std::string PostgresTestDatabase::connectionString() const {
    return PostgresCluster::instance().connectionString(m_name);
}

std::string PostgresTestDatabase::odbcTemplate() const {
    return PostgresCluster::instance().odbcTemplate();
}

std::unique_ptr<TestDatabase> makeDatabase(Backend backend, const TempDir& dir,
                                           bool withVersionTable) {
    if (backend == Backend::Sqlite) {
        return std::make_unique<SqliteTestDatabase>(dir, withVersionTable);
    }
    return std::make_unique<PostgresTestDatabase>(testDatabaseName(), withVersionTable);
}

} // namespace pupdate::testing
