// The PostgreSQL server stops while a line-mode walk is half done.
//
// The script's third line waits for an advisory lock that the test holds, so the walk is
// known to stand exactly there, with two statements done inside its transaction, when the
// test stops the server (immediate shutdown, as on a crash or a pulled cable).

#include "fault_fixture.h"
#include "text.h"

#include <gtest/gtest.h>
#include <thread>

namespace pupdate::testing {
namespace {

using std::chrono::seconds;

// Starts the shared cluster again however the test ends, for the tests after it.
struct RestartCluster {
    ~RestartCluster() { PostgresCluster::instance().start(); }
};

class ServerStopTest : public FaultTest {
protected:
    void SetUp() override {
        useDatabase(Backend::Postgres);
        database->exec("create table t (id integer primary key)");
    }

    // True once a session of the walk waits for the advisory lock.
    bool walkIsWaiting() const {
        return database->column("select count(*) from pg_locks "
                                "where locktype = 'advisory' and not granted") ==
               std::vector<std::string>{"1"};
    }
};

// psqlODBC answers a commit on a lost connection with success: the run must still see
// that the server has dropped the transaction and say so.
TEST_F(ServerStopTest, StopInTheMiddleOfALineModeWalkFailsTheRunAndCommitsNothing) {
    folder.writeProgramFile("bin/app.dll", "new");
    folder.writeUpdateList("a.sql:IsAccess,b.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n"
                                "insert into t values (2)\r\n"
                                "select pg_advisory_lock(4711)\r\n"
                                "insert into t values (3)\r\n");
    folder.writeScript("b.sql", "insert into t values (4)\r\n");

    RestartCluster restart;
    odbc::Connection holder;
    holder.open(PostgresCluster::instance().connectionString(database->name()));
    holder.execute("select pg_advisory_lock(4711)");

    ProgramProcess process(program, database->odbcTemplate(), dir / "process");
    process.start({pathToUtf8(folder.install()), database->name()}, "y\n");
    // Not a measurement: only how long a run may take to get to the lock at most.
    const auto deadline = std::chrono::steady_clock::now() + seconds(300);
    while (!walkIsWaiting() && process.running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(process.running()) << "the run ended before it reached the lock";
    ASSERT_TRUE(walkIsWaiting()) << "the walk never waited for the lock";

    PostgresCluster::instance().stop();
    const ProgramResult result = process.wait(seconds(300));
    PostgresCluster::instance().start();

    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.signal, 0) << result.err;
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("升级完毕！"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("更新成功！"), std::string::npos) << result.out;
    EXPECT_EQ(result.err.find("Application Error"), std::string::npos) << result.err;
    // The copy came before the walk and stays.
    EXPECT_EQ(readFile(folder.install() / "bin" / "app.dll"), "new");

    // Nothing of the walk was committed: not the statements before the stop, and nothing
    // after it reached a server.
    EXPECT_TRUE(ids().empty());
    // The statement that was waiting is logged with the server's message, the walk stops
    // there (nothing after it can reach a server), and its own failure reason closes the log.
    const std::string log = folder.log();
    EXPECT_NE(log.find("select pg_advisory_lock(4711)\r\n\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("insert into t values (3)"), std::string::npos) << log;
    ASSERT_FALSE(log.empty());
    const std::size_t lastRecord = log.rfind("\r\n\r\n", log.size() - 3);
    const std::string reason = log.substr(lastRecord == std::string::npos ? 0 : lastRecord + 4);
    EXPECT_EQ(reason.find("insert into"), std::string::npos) << "last record: " << reason;
    EXPECT_FALSE(trimBlanks(reason).empty()) << log;
}

} // namespace
} // namespace pupdate::testing
