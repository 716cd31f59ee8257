#pragma once
// An update package in a temporary folder, an installation folder beside it, and a real
// database (SQLite through the SQLite3 ODBC driver, or PostgreSQL through psqlODBC)
// holding the application's version table.

#include "databases.h"
#include "scripted_person.h"
#include "temp_dir.h"
#include "test_databases.h"
#include "upgrade_run.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace pupdate::testing {

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

// One run in the test program on a SQLite database through the SQLite3 ODBC driver.
class RunTest : public ::testing::Test {
protected:
    TempDir dir;
    PackageFolder folder{dir};
    std::unique_ptr<TestDatabase> database = makeDatabase(Backend::Sqlite, dir);
    RunBench bench{folder, *database};
    ScriptedPerson& person = bench.person;
    UpgradeRun& run = bench.run;
};

class CopyTest : public RunTest {};

// Copies the built program (P_UPDATE_BINARY) into a package folder and returns the
// copy's path.
std::filesystem::path installProgram(const std::filesystem::path& packageFolder);

} // namespace pupdate::testing
