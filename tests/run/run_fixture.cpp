#include "run_fixture.h"

#include "code_page.h"
#include "exception_log.h"

#include <cctype>

namespace pupdate::testing {

namespace {

std::string currentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "_" + info->name() : "db";
    std::string clean;
    for (char c : name) {
        clean +=
            std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
    }
    return clean.substr(0, 60);
}

class SqliteTestDatabase : public TestDatabase {
public:
    explicit SqliteTestDatabase(const TempDir& dir) : m_db(dir / "zeltinfo.db") {}
    std::string name() const override { return "zeltinfo"; }
    std::string odbcTemplate() const override { return m_db.odbcTemplate() + ";FKSupport=1"; }
    void exec(const std::string& sql) const override { m_db.exec(sql); }
    std::vector<odbc::Row> query(const std::string& sql) const override { return m_db.query(sql); }

private:
    SqliteDatabase m_db;
};

class PostgresTestDatabase : public TestDatabase {
public:
    PostgresTestDatabase() : m_name(currentTestName()) {
        PostgresCluster::instance().createDatabase(m_name);
        exec("create table gs_ver (verdate varchar(20))");
        exec("insert into gs_ver values ('2025-06-30')");
    }
    std::string name() const override { return m_name; }
    std::string odbcTemplate() const override { return PostgresCluster::instance().odbcTemplate(); }
    void exec(const std::string& sql) const override {
        PostgresCluster::instance().exec(m_name, sql);
    }
    std::vector<odbc::Row> query(const std::string& sql) const override {
        return PostgresCluster::instance().query(m_name, sql);
    }

private:
    std::string m_name;
};

} // namespace

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
}

std::vector<std::string> TestDatabase::column(const std::string& sql) const {
    std::vector<std::string> values;
    for (const auto& row : query(sql)) {
        values.push_back(row.empty() || !row[0] ? "NULL" : *row[0]);
    }
    return values;
}

std::unique_ptr<TestDatabase> makeDatabase(Backend backend, const TempDir& dir) {
    if (backend == Backend::Sqlite) {
        return std::make_unique<SqliteTestDatabase>(dir);
    }
    return std::make_unique<PostgresTestDatabase>();
}

PackageFolder::PackageFolder(const TempDir& dir)
    : m_package(dir / "package"), m_install(dir / "install") {
    std::filesystem::create_directories(m_package);
}

void PackageFolder::writeUpdateList(const std::string& listUtf8) const {
    writeFile(m_package / "Update.ini",
              utf8ToGbkLossy("[Updatefile]\r\n顺序=" + listUtf8 + "\r\n"));
}

void PackageFolder::writeScript(const std::string& name, const std::string& textUtf8,
                                bool asIs) const {
    writeFile(m_package / "UpdateSql" / name, asIs ? textUtf8 : utf8ToGbkLossy(textUtf8));
}

void PackageFolder::writeProgramFile(const std::string& relative, const std::string& bytes) const {
    writeFile(m_package / "UpdatePro" / relative, bytes);
}

std::string PackageFolder::log() const {
    return gbkToUtf8(readFile(m_package / std::string(kExceptionLogName)));
}

RunBench::RunBench(const PackageFolder& folder, const TestDatabase& database)
    : run(person, folder.package()) {
    run.settings().database = database.name();
    run.settings().installFolder = folder.install().string();
    run.setOdbcTemplate(database.odbcTemplate());
}

} // namespace pupdate::testing
