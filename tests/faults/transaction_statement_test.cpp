// Scripts that would begin or end the run's transaction themselves. The check before the
// run refuses them with nothing changed; one the check cannot see (here: a script changed
// after the check) is found before the walk commits, never reported as a success.

#include "fault_fixture.h"
#include "text.h"

#include <gtest/gtest.h>
#include <thread>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A database and, on PostgreSQL, psqlODBC's Protocol setting (what a failed statement does
// to the transaction).
struct Target {
    Backend backend;
    std::string protocol;
};

std::string targetName(const Target& target) {
    return target.protocol.empty() ? "Sqlite"
                                   : "PostgresProtocol" + std::string(1, target.protocol.back());
}

const Target kTargets[] = {{Backend::Sqlite, ""},
                           {Backend::Postgres, "7.4-0"},
                           {Backend::Postgres, "7.4-1"},
                           {Backend::Postgres, "7.4-2"}};

class TransactionStatementTest : public FaultTest {
protected:
    void use(const Target& target) {
        useDatabase(target.backend);
        database->exec("create table t (id integer primary key)");
        odbcTemplate = database->odbcTemplate();
        if (!target.protocol.empty()) {
            odbcTemplate.replace(odbcTemplate.find("Protocol=7.4-2"), 14,
                                 "Protocol=" + target.protocol);
        }
    }
    std::vector<std::string> arguments() const {
        return {pathToUtf8(folder.install()), database->name()};
    }

    std::string odbcTemplate;
};

struct Refused {
    std::string statement;
    Target target;
};

class RefusedStatementTest : public TransactionStatementTest,
                             public ::testing::WithParamInterface<Refused> {};

TEST_P(RefusedStatementTest, RefusesThePackageWithNothingChanged) {
    use(GetParam().target);
    folder.writeProgramFile("bin/app.dll", "new");
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n" + GetParam().statement +
                                    "\r\ninsert into t values (2)\r\n");

    const ProgramResult result =
        runProgram(program, odbcTemplate, dir / "process", arguments(), "y\n");

    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
    // The reason names the file, the line and the statement.
    const std::string log = folder.log();
    EXPECT_NE(log.find("a.sql 第 2 行是事务控制语句"), std::string::npos) << log;
    EXPECT_NE(log.find(": " + std::string(trimBlanks(GetParam().statement)) + "\r\n"),
              std::string::npos)
        << log;
    EXPECT_FALSE(fs::exists(folder.install()));
    EXPECT_TRUE(ids().empty());
}

std::vector<Refused> refusedStatements() {
    // Lines that once got past the check and left the database half-applied, and the plain
    // statements, each in the dialect of its server. Every kind of line is classified in
    // the scan's own table test; these prove the refusal through the real program.
    // clang-format off
    const char* postgres[] = {
        "select 1 as case; end", "select 1 as begin, 2; end transaction",
        "select (array[1,2])[length(']')]; commit; select 'x'",
        "COMMIT", "ROLLBACK", "begin", "ABORT", "START TRANSACTION", "prepare transaction 'p'",
        "insert into t values (9); Commit", "  /* a /* nested */ comment */ commit -- done",
    };
    const char* sqlite[] = {
        "select 1 as \"case\"; end", "select [a;b]; commit; select 'x'",
        "rollback transaction sp1", "COMMIT", "begin immediate transaction", "End Transaction",
        "/* /* */ commit; -- */", // SQLite ends the comment at the first */ and commits
    };
    // clang-format on
    std::vector<Refused> cases;
    for (std::size_t i = 0; i < std::size(postgres); ++i) {
        // Refused before any statement runs: each line on one Protocol setting, so that
        // every setting is met.
        cases.push_back({postgres[i], kTargets[1 + i % 3]});
    }
    for (const char* line : sqlite) {
        cases.push_back({line, kTargets[0]});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Statements, RefusedStatementTest, ::testing::ValuesIn(refusedStatements()),
                         [](const ::testing::TestParamInfo<Refused>& info) {
                             return "Line" + std::to_string(info.index) +
                                    targetName(info.param.target);
                         });

class TargetTest : public TransactionStatementTest, public ::testing::WithParamInterface<Target> {};

TEST_P(TargetTest, NamesAndClausesThatOnlyLookLikeTransactionControlRun) {
    use(GetParam());
    const bool postgres = GetParam().backend == Backend::Postgres;
    folder.writeUpdateList("a.sql:IsAccess");
    // Words of transaction control as names, in expressions and in clauses of the dialect.
    folder.writeScript(
        "a.sql", std::string("create table w (begin integer, \"end\" integer)\r\n"
                             "insert into w values (1, 2)\r\n"
                             "insert into t select begin from w order by begin\r\n"
                             "insert into t select case when begin > 0 then 2 end from w\r\n") +
                     (postgres ? "create temp table tt (a int) on commit drop\r\n"
                                 "savepoint s1; rollback to s1\r\n"
                               : "create trigger tr after insert on w begin "
                                 "insert into t values (new.begin + 10); end\r\n"
                                 "insert or rollback into w values (3, 4)\r\n"
                                 "savepoint s1; rollback transaction to s1\r\n"));

    const ProgramResult result =
        runProgram(program, odbcTemplate, dir / "process", arguments(), "y\n");

    EXPECT_EQ(result.status, 0) << result.out << result.err << folder.log();
    EXPECT_NE(result.out.find("系统提示: 升级完毕！"), std::string::npos) << result.out;
    using Strings = std::vector<std::string>;
    EXPECT_EQ(ids(), (postgres ? Strings{"1", "2"} : Strings{"1", "2", "13"})) << folder.log();
}

TEST_P(TargetTest, TransactionEndedUnseenByTheCheckFailsTheRunNamingTheScript) {
    use(GetParam());
    const bool postgres = GetParam().backend == Backend::Postgres;
    folder.writeUpdateList("a.sql:IsAccess,b.sql:IsAccess");
    // The walk is held in a.sql while the test changes b.sql behind the check's back: on
    // PostgreSQL by an advisory lock, on SQLite by a write lock the test holds.
    // Savepoints work inside the run's transaction: 2 is undone.
    folder.writeScript("a.sql",
                       std::string("insert into t values (1)\r\nSAVEPOINT s1\r\n"
                                   "insert into t values (2)\r\n"
                                   "ROLLBACK TO SAVEPOINT s1\r\nRELEASE SAVEPOINT s1\r\n") +
                           (postgres ? "select pg_advisory_lock(4711)\r\n" : "") +
                           "insert into t values (5)\r\n");
    folder.writeScript("b.sql", "insert into t values (3)\r\n");
    odbc::Connection holder;
    holder.open(database->connectionString());
    holder.execute(postgres ? "select pg_advisory_lock(4711)" : "BEGIN IMMEDIATE");

    ProgramProcess process(program, odbcTemplate, dir / "process");
    process.start(arguments(), "y\n");
    const std::string walking = "正在校验：" + pathToUtf8(folder.package() / "UpdateSql" / "a.sql");
    // Not a measurement: only how long a run may take to reach a.sql at most.
    const auto deadline = std::chrono::steady_clock::now() + 300s;
    while (process.running() && process.errorsSoFar().find(walking) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(process.running()) << process.outputSoFar() << process.errorsSoFar();
    folder.writeScript("b.sql",
                       "insert into t values (3)\r\ncommit\r\ninsert into t values (4)\r\n");
    holder.execute(postgres ? "select pg_advisory_unlock(4711)" : "ROLLBACK");
    const ProgramResult result = process.wait(300s);

    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("升级完毕"), std::string::npos) << result.out;
    const std::string log = folder.log();
    EXPECT_NE(log.find("数据库已结束本次升级的事务（在执行脚本 "), std::string::npos) << log;
    EXPECT_NE(log.find(pathToUtf8(folder.package() / "UpdateSql" / "b.sql")), std::string::npos)
        << log;
    // What the script committed stays, as the reason says; psqlODBC begins anew after it and
    // the failure path rolls 4 back, SQLite runs it on its own.
    using Strings = std::vector<std::string>;
    EXPECT_EQ(ids(), (postgres ? Strings{"1", "3", "5"} : Strings{"1", "3", "4", "5"}));
}

INSTANTIATE_TEST_SUITE_P(Targets, TargetTest, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return targetName(info.param);
                         });

} // namespace
} // namespace pupdate::testing
