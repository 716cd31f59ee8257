// The script walk and both runners, end to end on SQLite (SQLite3 ODBC driver) and on
// PostgreSQL (psqlODBC on a private cluster).

#include "osql_command.h"
#include "run_fixture.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

class WalkTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        database = makeDatabase(GetParam(), dir);
        database->exec("create table t (id integer primary key, name varchar(40))");
        bench = std::make_unique<RunBench>(folder, *database);
    }

    // Runs the walk on the given list; the connections are opened the way a run opens them.
    bool walk(const std::string& list) {
        EXPECT_TRUE(run().OpenDatabase());
        run().setUpdateFiles(list);
        return run().ApplyUpdateList();
    }
    UpgradeRun& run() { return bench->run; }
    ScriptedPerson& person() { return bench->person; }
    Strings ids() const { return database->column("select id from t order by id"); }

    TempDir dir;
    PackageFolder folder{dir};
    std::unique_ptr<TestDatabase> database;
    std::unique_ptr<RunBench> bench;
};

TEST_P(WalkTest, FailingStatementIsLoggedAndTheOthersAreCommittedTogether) {
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n"
                                "insert into missing_table values (1)\r\n"
                                "insert into t values (3, 'c')\r\n");
    ASSERT_TRUE(walk("a.sql:IsAccess"));
    EXPECT_EQ(ids(), (Strings{"1", "3"}));
    const std::string log = folder.log();
    // The driver's message, immediately followed by the statement and its line break,
    // then the record's own line break: each record ends with an empty line.
    EXPECT_NE(log.find("missing_table"), std::string::npos) << log;
    const std::string record = "insert into missing_table values (1)\r\n\r\n";
    ASSERT_GE(log.size(), record.size());
    EXPECT_EQ(log.substr(log.size() - record.size()), record);
    EXPECT_EQ(person().eventsWithPrefix("progress:text:"),
              (Strings{"正在校验：" + pathToUtf8(folder.package() / "UpdateSql" / "a.sql"),
                       "正在提交数据......", "提交成功！"}));
    EXPECT_EQ(person().eventsWithPrefix("status:"), Strings{"更新成功！"});
    EXPECT_EQ(person().eventsWithPrefix("inform:"), Strings{"升级完毕！"});
    EXPECT_EQ(person().windowCloses, 1);
    EXPECT_EQ(person().openProgressCount, 0);
}

TEST_P(WalkTest, EveryFailedStatementIsCountedButTheDetailsKeepToALimit) {
    std::string script;
    const int lines = 2000;
    for (int i = 0; i < lines; ++i) {
        script += "insert into nowhere values (" + std::to_string(i) + ")\r\n";
    }
    folder.writeScript("a.sql", script);
    ASSERT_TRUE(walk("a.sql:IsAccess"));
    EXPECT_EQ(person().eventsWithPrefix("inform-summary:"),
              Strings{"本次升级有 2000 条语句执行失败。\n详细记录见 ReException.Log。"});
    const Strings details = person().eventsWithPrefix("inform-details:");
    ASSERT_EQ(details.size(), 1u);
    EXPECT_LE(details[0].size(), RunRecords::kKeptBytes + 200);
    EXPECT_NE(details[0].find("insert into nowhere values (0)"), std::string::npos);
    EXPECT_EQ(details[0].find("insert into nowhere values (1999)"), std::string::npos);
    EXPECT_TRUE(details[0].ends_with("条记录未列出，见 ReException.Log。）")) << details[0];
}

TEST_P(WalkTest, ProgressCountsSuccessfulStatementsAgainstLines) {
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n"
                                "insert into nowhere values (2)\r\n"
                                "insert into t values (3, 'c')\r\n");
    ASSERT_TRUE(walk("a.sql:IsAccess"));
    EXPECT_EQ(person().eventsWithPrefix("progress:max:"), Strings{"3"});
    // Before each line the count of statements that succeeded so far, then the total.
    EXPECT_EQ(person().eventsWithPrefix("progress:pos:"), (Strings{"0", "1", "1", "2"}));
    EXPECT_EQ(person().eventsWithPrefix("progress:bar:"), Strings{"0"}); // commit window
}

TEST_P(WalkTest, MissingLineModeFileRollsBackTheWholeList) {
    folder.writeScript("b.sql", "insert into t values (1, 'b')\r\n");
    EXPECT_FALSE(walk("missing.sql:IsAccess,b.sql:IsAccess"));
    EXPECT_TRUE(ids().empty());
    EXPECT_EQ(person().eventsWithPrefix("inform:"), Strings{"升级处理失败！"});
    EXPECT_TRUE(person().eventsWithPrefix("status:").empty());
    EXPECT_NE(folder.log().find("missing.sql"), std::string::npos) << folder.log();
    EXPECT_EQ(person().windowCloses, 1);
    // The message offers the reason it logged.
    const Strings summary = person().eventsWithPrefix("inform-summary:");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].rfind("失败原因：", 0), 0u) << summary[0];
    EXPECT_NE(summary[0].find("missing.sql"), std::string::npos) << summary[0];
    EXPECT_TRUE(summary[0].ends_with("\n详细记录见 ReException.Log。")) << summary[0];
    const Strings details = person().eventsWithPrefix("inform-details:");
    ASSERT_EQ(details.size(), 1u);
    EXPECT_NE(details[0].find("missing.sql"), std::string::npos) << details[0];

    folder.writeScript("c.sql", "insert into t values (2, 'c')\r\n");
    EXPECT_FALSE(walk("c.sql:IsAccess,missing.sql:IsAccess"));
    EXPECT_TRUE(ids().empty());
    EXPECT_EQ(run().ADOCONN().inTransaction(), 0);
}

TEST_P(WalkTest, FailureAtCommitTakesTheFailurePathAndLeavesNothing) {
    database->exec("create table parent (id integer primary key)");
    database->exec("create table child (id integer primary key, parent_id integer "
                   "references parent(id) deferrable initially deferred)");
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n"
                                "insert into child values (1, 99)\r\n");
    EXPECT_FALSE(walk("a.sql:IsAccess"));
    EXPECT_TRUE(ids().empty());
    EXPECT_TRUE(database->column("select id from child").empty());
    EXPECT_EQ(person().eventsWithPrefix("inform:"), Strings{"升级处理失败！"});
    // The commit window is released, not left on screen.
    EXPECT_EQ(person().openProgressCount, 0);
    EXPECT_FALSE(folder.log().empty());
}

TEST_P(WalkTest, LinesAreReadAsWrittenAndStopAtCtrlZ) {
    folder.writeScript("a.sql", "insert into t values (1, '12:30')\r\n"
                                "\r\n"
                                "-- a comment line\r\n"
                                "insert into t values (2, 'a\rb')\n"
                                "insert into t values (3, '早班')\x1a"
                                "insert into t values (4, 'after ctrl-z')\r\n");
    folder.writeScript("b.sql", "insert into t values (5, 'no final break')");
    ASSERT_TRUE(walk("a.sql:IsAccess,b.sql:IsAccess"));
    EXPECT_EQ(ids(), (Strings{"1", "2", "3", "5"}));
    EXPECT_EQ(database->column("select name from t order by id"),
              (Strings{"12:30", "ab", "早班", "no final break"}));
}

TEST_P(WalkTest, ChineseLiteralsArriveIntactAndMalformedGbkLinesAreRefused) {
    folder.writeScript("a.sql", "insert into t values (1, '张伟的工资')\r\n");
    // UTF-8 with a byte-order mark, a GBK file, and a GBK file with one broken line.
    folder.writeScript("b.sql", "\xEF\xBB\xBFinsert into t values (2, '公登')\r\n", true);
    folder.writeScript("c.sql",
                       "insert into t values (3, '" + std::string("\xB9\xA4") +
                           "')\r\n"
                           "insert into t values (4, '" +
                           std::string("\xB9\x7F") +
                           "')\r\n"
                           "insert into t values (5, 'ok')\r\n",
                       true);
    ASSERT_TRUE(walk("a.sql:IsAccess,b.sql:IsAccess,c.sql:IsAccess"));
    EXPECT_EQ(database->column("select name from t order by id"),
              (Strings{"张伟的工资", "公登", "工", "ok"}));
    const std::string log = folder.log();
    EXPECT_NE(log.find("GBK"), std::string::npos) << log;
    // Shown without its broken byte, followed by the empty line that ends every record.
    EXPECT_NE(log.find("values (4, '?\x7f')\r\n\r\n"), std::string::npos) << log;
}

TEST_P(WalkTest, UnknownKindsFailTheWalkAndEmptyItemsAreSkipped) {
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n");
    ASSERT_TRUE(walk("a.sql:IsAccess,,"));
    EXPECT_EQ(ids(), Strings{"1"});

    database->exec("delete from t");
    EXPECT_FALSE(walk("a.sql:IsAccess,a.sql:isaccess"));
    EXPECT_TRUE(ids().empty());
    EXPECT_NE(folder.log().find("isaccess"), std::string::npos);
    EXPECT_FALSE(walk("x:y:IsAccess"));
    EXPECT_FALSE(walk("a.sql"));
}

TEST_P(WalkTest, RefusedServerCommandRollsBackWhatCameBefore) {
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n");
    folder.writeScript("b%c.sql", "select 1\r\n");
    EXPECT_FALSE(walk("a.sql:IsAccess,b%c.sql:IsSqlserver"));
    EXPECT_TRUE(ids().empty()) << ::testing::PrintToString(person().events) << folder.log();
    EXPECT_NE(folder.log().find("b%c.sql"), std::string::npos) << folder.log();
}

INSTANTIATE_TEST_SUITE_P(Backends, WalkTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         backendName);

TEST(OsqlCommand, IsBuiltExactlyAndRefusesWhatTheServerShellWouldActOn) {
    EXPECT_EQ(buildOsqlCommand("zeltinfo", "C:\\pkg dir\\Updatesql\\b.sql"),
              "osql -E  -S (local) -d zeltinfo -i \"C:\\pkg dir\\Updatesql\\b.sql\" ");
    // The path stands inside double quotes, where the shell takes its operators
    // literally; the name stands outside them.
    for (const char* bad : {"\"", "%", "!", "\n", "\t", "\x7f", "\xff", "&", "|", "<", ">", "^"}) {
        EXPECT_THROW(buildOsqlCommand(std::string("db") + bad, "p.sql"), std::invalid_argument)
            << int(bad[0]);
        if (std::string_view("&|<>^").find(bad[0]) != std::string_view::npos) {
            EXPECT_EQ(buildOsqlCommand("db", std::string("p") + bad + ".sql"),
                      std::string("osql -E  -S (local) -d db -i \"p") + bad + ".sql\" ");
        } else {
            EXPECT_THROW(buildOsqlCommand("db", std::string("p") + bad + ".sql"),
                         std::invalid_argument)
                << int(bad[0]);
        }
    }
    EXPECT_EQ(buildOsqlCommand("db", "C:\\R&D升级包 (2)\\Updatesql\\a^b.sql"),
              "osql -E  -S (local) -d db -i \"C:\\R&D升级包 (2)\\Updatesql\\a^b.sql\" ");
    // A refusal shows the path as written.
    try {
        buildOsqlCommand("db", "C:\\升级包\\100%.sql");
        ADD_FAILURE() << "not refused";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("C:\\升级包\\100%.sql"), std::string::npos)
            << error.what();
    }
    // A database name is only ever a name for osql: no blank, separator or option start.
    for (const char* bad : {"master -Q x", "a;b", "a,b", "-Q", "/?", " db"}) {
        EXPECT_THROW(buildOsqlCommand(bad, "p.sql"), std::invalid_argument) << bad;
    }
    EXPECT_EQ(buildOsqlCommand("工资库", "/包/b.sql"),
              "osql -E  -S (local) -d 工资库 -i \"/包/b.sql\" ");
}

// The server-side path on PostgreSQL: a database named "master" with a function
// dbo.xp_cmdshell that records each command and what it could see from its own
// connection, so the order of commit and call can be checked.
class ServerSideTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sql : {
                 "create table t (id integer primary key, name varchar(40))",
                 "create schema dbo",
                 "create table calls (n serial, command text, rows_seen integer)",
                 "create table fake_output (line text)",
                 "create function dbo.xp_cmdshell(cmd text) returns setof text as $$ "
                 "insert into calls (command, rows_seen) select cmd, count(*) from t; "
                 "select line from fake_output $$ language sql",
             }) {
            master.exec(sql);
        }
        bench = std::make_unique<RunBench>(folder, master);
    }

    PostgresTestDatabase master{"master", true};
    TempDir dir;
    PackageFolder folder{dir};
    std::unique_ptr<RunBench> bench;
};

TEST_F(ServerSideTest, FirstServerEntryCommitsWhatCameBeforeAndLaterEntriesRunOnTheirOwn) {
    folder.writeScript("a.sql",
                       "insert into t values (1, 'a')\r\ninsert into t values (2, 'a')\r\n");
    folder.writeScript("b c.sql", "anything osql reads\r\n");
    folder.writeScript("c.sql", "insert into t values (3, 'c')\r\n");
    UpgradeRun& run = bench->run;
    ASSERT_TRUE(run.OpenDatabase());
    run.setUpdateFiles("a.sql:IsAccess, \"b c.sql:IsSqlserver\" ,c.sql:IsAccess");
    ASSERT_TRUE(run.ApplyUpdateList()) << folder.log();

    const std::string path = pathToUtf8(folder.package() / "UpdateSql" / "b c.sql");
    const auto calls = master.query("select command, rows_seen from calls order by n");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(*calls[0][0], "osql -E  -S (local) -d master -i \"" + path + "\" ");
    EXPECT_EQ(*calls[0][1], "2"); // a was committed before the call
    EXPECT_EQ(master.column("select id from t order by id"), (Strings{"1", "2", "3"}));

    const Strings texts = bench->person.eventsWithPrefix("progress:text:");
    // The commit texts appear once, in the server-side entry, and not at the end.
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "正在提交数据......"), 1);
    EXPECT_EQ(texts.back(), "正在校验：" + pathToUtf8(folder.package() / "UpdateSql" / "c.sql"));
    EXPECT_EQ(bench->person.eventsWithPrefix("inform:"), Strings{"升级完毕！"});
    // a.sql: 0 and 1 before its lines, 2 at its end; then the server-side steps.
    Strings positions = bench->person.eventsWithPrefix("progress:pos:");
    ASSERT_GE(positions.size(), 7u);
    EXPECT_EQ(Strings(positions.begin(), positions.begin() + 7),
              (Strings{"0", "1", "2", "10", "40", "70", "100"}));
}

TEST_F(ServerSideTest, ToolErrorsAreLoggedAndTheWalkGoesOn) {
    master.exec("insert into fake_output values ('Msg 208, Level 16, State 1, Server S, Line 1'),"
                " ('Invalid object name ''x''.')");
    folder.writeScript("b.sql", "select * from x\r\n");
    folder.writeScript("c.sql", "insert into t values (3, 'c')\r\n");
    UpgradeRun& run = bench->run;
    ASSERT_TRUE(run.OpenDatabase());
    run.setUpdateFiles("b.sql:IsSqlserver,c.sql:IsAccess");
    ASSERT_TRUE(run.ApplyUpdateList());
    const std::string log = folder.log();
    EXPECT_NE(log.find("Msg 208, Level 16"), std::string::npos) << log;
    EXPECT_NE(log.find("Invalid object name 'x'."), std::string::npos) << log;
    EXPECT_EQ(master.column("select id from t"), Strings{"3"});
}

TEST_F(ServerSideTest, ListThatCannotSucceedIsRefusedBeforeAnythingRuns) {
    folder.writeScript("a.sql", "insert into t values (1, 'a')\r\n");
    folder.writeScript("b.sql", "x\r\n");
    writeFile(dir / "outside.sql", "insert into t values (9, 'outside')\r\n");
    for (const char* last :
         {"c.sql:isaccess", "missing.sql:IsAccess", "..\\..\\outside.sql:IsAccess",
          "..\\UpdateSql\\..\\..\\outside.sql:IsAccess"}) {
        UpgradeRun& run = bench->run;
        bench->person.events.clear();
        ASSERT_TRUE(run.OpenDatabase());
        run.setUpdateFiles(std::string("a.sql:IsAccess,b.sql:IsSqlserver,") + last);
        EXPECT_FALSE(run.ApplyUpdateList()) << last;
        EXPECT_EQ(bench->person.eventsWithPrefix("inform:"), Strings{"升级处理失败！"});
        EXPECT_TRUE(bench->person.eventsWithPrefix("progress:").empty()) << last;
        EXPECT_TRUE(master.column("select command from calls").empty()) << last;
        EXPECT_TRUE(master.column("select id from t").empty()) << last;
    }
    const std::string log = folder.log();
    EXPECT_NE(log.find("isaccess"), std::string::npos) << log;
    EXPECT_NE(log.find("missing.sql"), std::string::npos) << log;
    EXPECT_NE(log.find("outside.sql"), std::string::npos) << log;
    EXPECT_EQ(log.find("values (9"), std::string::npos) << "the file outside was read:\n" << log;
}

TEST_F(ServerSideTest, DatabaseNamesThatCarryOsqlOptionsNeverReachTheServer) {
    // A database that really has the hostile name, so that only the name check stands
    // between it and the server's shell.
    PostgresTestDatabase hostile{"master -o C:\\x.txt -Q shutdown", true};
    hostile.exec("create schema dbo");
    hostile.exec("create table calls (command text)");
    hostile.exec("create function dbo.xp_cmdshell(cmd text) returns setof text as $$ "
                 "insert into calls values (cmd); select null::text where false $$ language sql");
    folder.writeScript("b.sql", "x\r\n");
    for (const std::string name : {"master -o C:\\x.txt -Q shutdown", "master;-Q shutdown"}) {
        UpgradeRun& run = bench->run;
        run.settings().database = name;
        run.setUpdateFiles("b.sql:IsSqlserver");
        // With ';' the connection string says something else than the name: not opened.
        if (run.OpenDatabase()) {
            EXPECT_FALSE(run.ApplyUpdateList()) << name;
        }
        EXPECT_EQ(name.find(';') == std::string::npos, run.ADOCONN().isOpen()) << name;
    }
    EXPECT_TRUE(hostile.column("select command from calls").empty());
    EXPECT_TRUE(master.column("select command from calls").empty());
    EXPECT_NE(folder.log().find("数据库名含有不能交给服务器命令行的字符"), std::string::npos)
        << folder.log();
}

} // namespace
} // namespace pupdate::testing
