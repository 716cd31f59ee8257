// The program is asked to stop (SIGTERM, SIGINT as from Ctrl-C, SIGHUP as from a closed
// terminal) while it works: it stops at its next statement or file, rolls back, leaves
// one record in the log, says so and ends with status 1. A second request ends it at once.

#include "fault_fixture.h"

#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class InterruptionTest : public FaultTest {
protected:
    void SetUp() override {
        useDatabase(Backend::Postgres);
        database->exec("create table t (id integer primary key)");
        folder.writeUpdateList("a.sql:IsAccess");
        folder.writeScript("a.sql", "insert into t values (1)\r\n");
    }

    // Starts the program and waits until `ready` holds (not a measurement: only a limit for
    // a broken build).
    void start(const std::string& input, ProgramStreams streams,
               const std::function<bool()>& ready) {
        process =
            std::make_unique<ProgramProcess>(program, database->odbcTemplate(), dir / "process");
        process->start({pathToUtf8(folder.install()), database->name()}, input, streams);
        const auto deadline = std::chrono::steady_clock::now() + 300s;
        while (process->running() && !ready() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(process->running()) << process->outputSoFar() << process->errorsSoFar();
    }

    // Stopped and told: status 1, the failure message with the reason, and the log holding
    // nothing but the one record of the interruption; nothing committed.
    void expectInterrupted(const std::string& record) {
        const ProgramResult result = process->wait(300s);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.status, 1) << result.out << result.err;
        EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
        EXPECT_NE(result.err.find("失败原因：" + record), std::string::npos) << result.err;
        EXPECT_EQ(folder.log(), record + "\r\n");
        EXPECT_TRUE(ids().empty());
    }

    std::unique_ptr<ProgramProcess> process;
};

TEST_F(InterruptionTest, AtTheQuestionNothingIsCopiedOrBegun) {
    folder.writeProgramFile("bin/app.dll", "new");
    start("", {.input = ProgramStreams::Input::Later},
          [&] { return process->outputSoFar().find("[Y/N]") != std::string::npos; });
    process->sendSignal(SIGINT);
    expectInterrupted("升级被中断，没有复制文件，也没有执行脚本");
    EXPECT_FALSE(fs::exists(folder.install()));
}

TEST_F(InterruptionTest, DuringTheCopyNoFileIsLeftCutShortAndNothingIsBegun) {
    const std::string content(32 * 1024 * 1024, 'p'); // the copy is under way for a while
    for (int i = 0; i < 6; ++i) {
        folder.writeProgramFile("bin/part" + std::to_string(i), content);
    }
    start("y\n", {},
          [&] { return process->errorsSoFar().find("正在复制程序文件") != std::string::npos; });
    process->sendSignal(SIGTERM);
    expectInterrupted("升级被中断，程序文件可能没有全部复制，没有执行脚本");
    // Under a file's own name only the whole file; no temporary file left behind.
    std::error_code none; // a copy stopped before its first file made no folder
    for (const auto& entry : fs::directory_iterator(folder.install() / "bin", none)) {
        EXPECT_EQ(entry.path().filename().string().rfind("part", 0), 0u) << entry.path();
        EXPECT_EQ(fs::file_size(entry.path()), content.size()) << entry.path();
    }
}

struct Requests {
    int signalNumber;
    int count;
};

class WalkInterruptionTest : public InterruptionTest,
                             public ::testing::WithParamInterface<Requests> {};

TEST_P(WalkInterruptionTest, StopsAtTheNextStatementAndRollsBack) {
    // The third line waits for a lock the test holds: the walk is known to stand there,
    // two statements done inside its transaction, when the request comes.
    folder.writeUpdateList("a.sql:IsAccess,b.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\ninsert into t values (2)\r\n"
                                "select pg_advisory_lock(4711)\r\ninsert into t values (3)\r\n");
    folder.writeScript("b.sql", "insert into t values (4)\r\n");
    odbc::Connection holder;
    holder.open(database->connectionString());
    holder.execute("select pg_advisory_lock(4711)");
    start("y\n", {}, [&] {
        return database->column("select count(*) from pg_locks where locktype = 'advisory' "
                                "and not granted") == std::vector<std::string>{"1"};
    });
    for (int i = 0; i < GetParam().count; ++i) {
        // Two pending signals of one kind merge into one: the first is let in first.
        std::this_thread::sleep_for(i > 0 ? 200ms : 0ms);
        process->sendSignal(GetParam().signalNumber);
    }
    if (GetParam().count > 1) {
        // A second request ends the process at once, in the middle of the statement.
        EXPECT_EQ(process->wait(300s).signal, GetParam().signalNumber);
        EXPECT_TRUE(folder.log().empty()) << folder.log();
        EXPECT_TRUE(ids().empty());
        return;
    }
    holder.execute("select pg_advisory_unlock(4711)");
    expectInterrupted("升级被中断（在执行脚本 " +
                      pathToUtf8(folder.package() / "UpdateSql" / "a.sql") + " 第 4 行之前）");
}

INSTANTIATE_TEST_SUITE_P(Signals, WalkInterruptionTest,
                         ::testing::Values(Requests{SIGTERM, 1}, Requests{SIGINT, 1},
                                           Requests{SIGHUP, 1}, Requests{SIGTERM, 2}),
                         [](const ::testing::TestParamInfo<Requests>& info) {
                             return std::string(sigabbrev_np(info.param.signalNumber)) +
                                    (info.param.count > 1 ? "Twice" : "");
                         });

} // namespace
} // namespace pupdate::testing
