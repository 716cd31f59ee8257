#pragma once
// An update package in a temporary folder, an installation folder beside it, and a real
// database (SQLite through the SQLite3 ODBC driver, or PostgreSQL through psqlODBC)
// holding the application's version table.

#include "databases.h"
#include "scripted_person.h"
#include "temp_dir.h"
#include "upgrade_run.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace pupdate::testing {

enum class Backend { Sqlite, Postgres };

std::string backendName(const ::testing::TestParamInfo<Backend>& info);

class TestDatabase {
public:
    virtual ~TestDatabase() = default;
    virtual std::string name() const = 0;
    virtual std::string odbcTemplate() const = 0;
    virtual void exec(const std::string& sql) const = 0;
    virtual std::vector<odbc::Row> query(const std::string& sql) const = 0;
    // The first column of every row, NULL as "NULL".
    std::vector<std::string> column(const std::string& sql) const;
};

// A fresh database named after the running test, with gs_ver(verdate) and one row.
std::unique_ptr<TestDatabase> makeDatabase(Backend backend, const TempDir& dir);

class PackageFolder {
public:
    explicit PackageFolder(const TempDir& dir);

    const std::filesystem::path& package() const { return m_package; }
    const std::filesystem::path& install() const { return m_install; }
    // Update.ini with [Updatefile] 顺序=<list>, written in GBK.
    void writeUpdateList(const std::string& listUtf8) const;
    // A script in UpdateSql, converted to GBK unless `asIs`.
    void writeScript(const std::string& name, const std::string& textUtf8, bool asIs = false) const;
    void writeProgramFile(const std::string& relative, const std::string& bytes) const;
    // ReException.Log decoded from GBK; empty when there is none.
    std::string log() const;

private:
    std::filesystem::path m_package;
    std::filesystem::path m_install;
};

// A run on a package and a database, answered by a scripted person.
struct RunBench {
    RunBench(const PackageFolder& folder, const TestDatabase& database);
    ScriptedPerson person;
    UpgradeRun run;
};

} // namespace pupdate::testing
