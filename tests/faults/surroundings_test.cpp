// What surrounds a run at a customer site: a second run of the same package started at
// the same moment (an operator who double-clicks twice), and an output nobody reads (a
// console piped into `head`, a service with its output closed). Neither may change what
// happens to the database.

#include "fault_fixture.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr const char* kQuestion = "系统提示: 是否已经退出人力资源管理软件？ [Y/N] ";

class SurroundingsTest : public FaultTest {
protected:
    void SetUp() override { prepare(Backend::Sqlite); }

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
        return {folder.install().string(), database->name()};
    }
};

TEST_F(SurroundingsTest, TwoRunsStartedTogetherApplyThePackageOnce) {
    ProgramProcess first(program, database->odbcTemplate(), dir / "first");
    ProgramProcess second(program, database->odbcTemplate(), dir / "second");
    // Both wait for their answer, so the one that gets the package holds it while the
    // other starts, however the two are scheduled.
    first.start(arguments(), "", {.inputLater = true});
    second.start(arguments(), "", {.inputLater = true});

    ProgramProcess* waiting = nullptr;
    ProgramProcess* refused = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (refused == nullptr && std::chrono::steady_clock::now() < deadline) {
        if (!first.running()) {
            refused = &first;
            waiting = &second;
        } else if (!second.running()) {
            refused = &second;
            waiting = &first;
        } else {
            std::this_thread::sleep_for(20ms);
        }
    }
    ASSERT_NE(refused, nullptr) << "neither run was refused";
    const ProgramResult refusal = refused->wait(10s);
    EXPECT_EQ(refusal.status, 1) << refusal.err;
    EXPECT_EQ(refusal.out, "系统提示: 对不起!另一个升级程序正在使用这个升级包,请等它结束后再试!\n");
    EXPECT_TRUE(refusal.err.empty()) << refusal.err;
    EXPECT_FALSE(fs::exists(folder.install())) << "the refused run copied";

    while (waiting->outputSoFar() != kQuestion && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(waiting->outputSoFar(), kQuestion);
    waiting->answer("y\n");
    const ProgramResult run = waiting->wait(120s);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("系统提示: 升级完毕！\n"), std::string::npos) << run.out;
    EXPECT_EQ(ids(), (Strings{"1", "2"}));
    EXPECT_EQ(database->column("select verdate from gs_ver"), Strings{"2003-06-01+"});
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
    EXPECT_TRUE(folder.log().empty()) << folder.log();

    // The lock went with the run: the package can be run again.
    EXPECT_EQ(runUnattended("n\n").status, 2);
}

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

} // namespace
} // namespace pupdate::testing
