// What surrounds a run at a customer site: an output nobody reads (a console piped into
// `head`, a service with its output closed) may not change what happens to the database,
// nor may a system where the run cannot take its lock.
// A second run of the same package started at the same moment is in tests/run.

#include "fault_fixture.h"
#include "run_lock.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

class SurroundingsTest : public FaultTest {
protected:
    void prepare(Backend backend) {
        useDatabase(backend);
        database->exec("create table t (id integer primary key)");
        folder.writeProgramFile("app.dll", "new");
        folder.writeUpdateList("a.sql:IsAccess");
        folder.writeScript("a.sql", "insert into t values (1)\r\n"
                                    "insert into t values (2)\r\n"
                                    "update gs_ver set verdate = verdate || '+'\r\n");
    }

    std::vector<std::string> arguments() const {
        return {pathToUtf8(folder.install()), database->name()};
    }
};

// On PostgreSQL: a closed output whose number the connection's socket takes would send
// the console's messages to the server.
class ClosedOutputTest : public SurroundingsTest,
                         public ::testing::WithParamInterface<ProgramStreams::Output> {
protected:
    void SetUp() override { prepare(Backend::Postgres); }
};

TEST_P(ClosedOutputTest, RunCompletesAndItsStatusTellsWhatHappened) {
    ProgramProcess process(program, database->odbcTemplate(), dir / "process");
    process.start(arguments(), "y\n", {.output = GetParam()});
    const ProgramResult result = process.wait(120s);
    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.signal, 0) << "killed by a signal";
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ids(), (Strings{"1", "2"}));
    EXPECT_EQ(database->column("select verdate from gs_ver"), Strings{"2003-06-01+"});
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
    // Nothing meant for the screen went into a file of the run instead.
    EXPECT_TRUE(folder.log().empty()) << folder.log();
    EXPECT_NE(result.err.find("提交成功！"), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Outputs, ClosedOutputTest,
                         ::testing::Values(ProgramStreams::Output::Closed,
                                           ProgramStreams::Output::BrokenPipe),
                         [](const ::testing::TestParamInfo<ProgramStreams::Output>& info) {
                             return info.param == ProgramStreams::Output::Closed ? "Closed"
                                                                                 : "BrokenPipe";
                         });

// Something that is no lock file stands where the database's lock would be, in the
// system's lock folder and in the temporary folder: the run goes on unguarded, and its
// account says so; the log gets no record of it.
TEST_F(SurroundingsTest, RunThatCannotLockGoesOnAndSaysSo) {
    prepare(Backend::Sqlite);
    RunSettings settings;
    settings.database = database->name();
    settings.installFolder = pathToUtf8(folder.install());
    const std::string name = runLockName(runLockKeys(settings, database->odbcTemplate())[0]);
    const fs::path temporary = dir / "tmp";
    std::vector<fs::path> blocked{temporary / (name + ".lock")};
    if (::access("/run/lock", W_OK) == 0) {
        blocked.push_back(fs::path("/run/lock") / (name + ".lock"));
    }
    for (const fs::path& path : blocked) {
        fs::create_directories(path);
    }
    const char* before = std::getenv("TMPDIR");
    const std::string kept = before != nullptr ? before : "";
    ::setenv("TMPDIR", temporary.c_str(), 1);
    const ProgramResult result = runUnattended();
    if (before != nullptr) {
        ::setenv("TMPDIR", kept.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    for (const fs::path& path : blocked) {
        fs::remove(path);
    }

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("系统提示: 升级完毕！\n"), std::string::npos) << result.out;
    EXPECT_EQ(ids(), (Strings{"1", "2"}));
    EXPECT_NE(result.err.find("未能取得运行锁"), std::string::npos) << result.err;
    EXPECT_TRUE(folder.log().empty()) << folder.log();
}

} // namespace
} // namespace pupdate::testing
