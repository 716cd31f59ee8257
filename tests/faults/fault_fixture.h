#pragma once
// A package with the program copied into it, an installation folder beside it and a real
// database, for running P_Update against injected faults.

#include "exception_log.h"
#include "program_process.h"
#include "run_fixture.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace pupdate::testing {

class FaultTest : public ::testing::Test {
protected:
    void useDatabase(Backend backend) { database = makeDatabase(backend, dir); }

    // The program, unattended, with the installation folder and the database name.
    ProgramResult runUnattended(const std::string& answer = "y\n") {
        return runProgram(program, database->odbcTemplate(), dir / "process",
                          {pathToUtf8(folder.install()), database->name()}, answer);
    }
    std::vector<std::string> ids() const {
        return database->column("select id from t order by id");
    }

    TempDir dir;
    PackageFolder folder{dir};
    std::filesystem::path program = installProgram(folder.package());
    std::unique_ptr<TestDatabase> database;
};

} // namespace pupdate::testing
