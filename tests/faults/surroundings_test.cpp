// What surrounds a run at a customer site: an output nobody reads (a console piped into
// `head`, a service with its output closed) may not change what happens to the database,
// nor may a system where the run cannot take its lock.
// A second run of the same package started at the same moment is in tests/run.

#include "fault_fixture.h"
#include "run_lock.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Something that is no lock file stands where the database's lock would be: the run goes
// on unguarded, and its account says so; the log gets no record of it. It takes no lock of
// its own in the next folder, where no other run would look while the first holds the
// name: with the system's lock folder blocked, a lock held in the temporary folder does
// not stop it.
TEST_F(SurroundingsTest, RunThatCannotLockGoesOnAndSaysSo) {
    prepare(Backend::Sqlite);
    RunSettings settings;
    settings.database = database->name();
    settings.installFolder = pathToUtf8(folder.install());
    const std::string name = runLockName(runLockKeys(settings, database->odbcTemplate())[0]);
    const fs::path temporary = dir / "tmp";
    fs::create_directories(temporary);
    std::vector<fs::path> blocked;
    int held = -1;
    if (::access("/run/lock", W_OK) == 0) {
        blocked.push_back(fs::path("/run/lock") / (name + ".lock"));
        held = ::open((temporary / (name + ".lock")).c_str(), O_RDONLY | O_CREAT, 0644);
        ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    } else {
        blocked.push_back(temporary / (name + ".lock"));
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
    if (held >= 0) {
        ::close(held);
    }

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("系统提示: 升级完毕！\n"), std::string::npos) << result.out;
    EXPECT_EQ(ids(), (Strings{"1", "2"}));
    EXPECT_NE(result.err.find("未能取得运行锁"), std::string::npos) << result.err;
    EXPECT_TRUE(folder.log().empty()) << folder.log();
}

// Two runs meet when they name one database, in any letter case, or one installation
// folder, by any name; a second run holds nothing while the first holds either.
TEST(RunLockTest, RunsOfOneDatabaseOrOneFolderExcludeEachOther) {
    TempDir dir;
    fs::create_directories(dir / "install");
    const auto settings = [&](const char* database, const fs::path& install) {
        RunSettings run;
        run.server = "(local)";
        run.database = database;
        run.installFolder = pathToUtf8(install);
        return run;
    };
    struct Pair {
        RunSettings first, second;
        RunLock::State expected;
    };
    const Pair pairs[] = {
        {settings("hrdb", dir / "a"), settings("HRDB", dir / "b"), RunLock::State::Busy},
        {settings("hrdb", dir / "install"), settings("paydb", dir / "." / "install"),
         RunLock::State::Busy},
        {settings("hrdb", dir / "a"), settings("paydb", dir / "b"), RunLock::State::Held},
    };
    const std::string odbcTemplate(defaultOdbcTemplate());
    for (const Pair& pair : pairs) {
        SCOPED_TRACE(pair.second.database + " " + pair.second.installFolder);
        const RunLock first(runLockKeys(pair.first, odbcTemplate));
        ASSERT_EQ(first.state(), RunLock::State::Held);
        const RunLock second(runLockKeys(pair.second, odbcTemplate));
        EXPECT_EQ(second.state(), pair.expected);
    }
}

// A lock file of another account that this one cannot open: the run says whose it is and
// takes no lock elsewhere.
TEST(RunLockTest, LockFileOfAnotherAccountIsToldNotPassedOver) {
    if (::geteuid() != 0 || ::access("/run/lock", W_OK) != 0) {
        GTEST_SKIP() << "needs root to act as a second account";
    }
    TempDir dir;
    const std::vector<std::string> keys{"database\nrun-lock-test-" + std::to_string(::getpid())};
    const fs::path file = fs::path("/run/lock") / (runLockName(keys[0]) + ".lock");
    writeFile(file, "");
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Another account, with a temporary folder of its own where a second lock would go.
        ::setenv("TMPDIR", dir.path().c_str(), 1);
        ::chmod(dir.path().c_str(), 0777);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(10);
        }
        const RunLock lock(keys);
        const bool told = lock.state() == RunLock::State::Unavailable &&
                          lock.error().find("运行锁文件属于另一个账户") != std::string::npos;
        ::_exit(told ? 0 : lock.state() == RunLock::State::Held ? 11 : 12);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    fs::remove(file);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "10: no second account, 11: locked elsewhere, 12: not told";
}

} // namespace
} // namespace pupdate::testing
