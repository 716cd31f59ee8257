// Whole upgrade runs on the SQL Server path: the program's default ODBC template, the
// real FreeTDS driver, and the project's TDS test server standing in for SQL Server, its
// xp_cmdshell and its osql.

#include "code_page.h"
#include "connections.h"
#include "scripted_person.h"
#include "tds_test_server.h"
#include "upgrade_run.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;

using Rows = std::vector<std::vector<std::string>>;

// The server's log reduced to what a run did, in order: "A:" for the run's first
// connection (the transaction), "B:" for its second (the server-side calls), "osql:" for
// the osql stand-in. Transaction control shows as "tx <action>"; statements by their text.
std::vector<std::string> runTrace(const std::vector<JsonValue>& events) {
    std::map<std::string, std::string> names;
    std::vector<std::string> trace;
    for (const JsonValue& event : events) {
        const std::string kind = event["event"].string();
        const std::string conn = event["conn"].text();
        if (kind == "logged_in") {
            names[conn] = names.empty() ? "A" : "B";
            continue;
        }
        const std::string who = conn.rfind("osql", 0) == 0 ? "osql"
                                : names.count(conn)        ? names[conn]
                                                           : conn;
        if (kind == "transaction") {
            trace.push_back(who + ":tx " + event["action"].string());
        } else if (kind == "statement") {
            const std::string text = event["text"].string();
            std::string head = text.substr(0, text.find(' '));
            for (char& c : head) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            // Below TDS 7.2 the driver sends transaction control as text; the transaction
            // events already show it.
            if (head != "BEGIN" && head != "COMMIT" && head != "ROLLBACK" && head != "IF") {
                trace.push_back(who + ":" + text);
            }
        } else if (kind == "xp_cmdshell") {
            trace.push_back(who + ":xp_cmdshell");
        }
    }
    return trace;
}

using Trace = std::vector<std::string>;

Trace operator+(Trace a, const Trace& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The run's transaction: the driver's level, then the run's own inside it, which no
// script can commit.
const Trace kBegin = {"A:tx begin", "A:SET IMPLICIT_TRANSACTIONS ON", "A:tx begin",
                      "A:SELECT @@TRANCOUNT"};
// The proof that the transaction is still the run's own, at the run's own level.
const Trace kProof = {"A:SELECT @@TRANCOUNT, XACT_STATE()"};
// Proven, the run's level given back, the driver's commit; autocommit back on ends the
// transaction the driver's commit request opened again.
const Trace kCommit = kProof + Trace{"A:tx commit", "A:SET IMPLICIT_TRANSACTIONS OFF",
                                     "A:tx commit", "A:tx begin", "A:tx rollback"};

class FreetdsRunTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        // Under Wine the server is shared: no rule of an earlier test may reach this one.
        server.setFailures("[]");
        fs::create_directories(m_package / "UpdateSql");
        server.createDatabase("hrdb");
        server.sqlite("hrdb", "create table emp (id int, name nvarchar(40))");
        run.settings().server = server.dataSource();
        run.settings().database = "hrdb";
        run.setOdbcTemplate(odbcTemplate());
    }

    // The program's default template, pinned to this test's TDS version.
    std::string odbcTemplate() const {
        return std::string(defaultOdbcTemplate()) + ";TDS_Version=" + GetParam();
    }

    void writeUpdateList(const std::string& list) const {
        writeFile(m_package / "Update.ini",
                  utf8ToGbkLossy("[Updatefile]\r\n顺序=" + list + "\r\n"));
    }
    // Scripts are written in GBK, as the packages are.
    void writeScript(const std::string& name, const std::string& text) const {
        writeFile(scriptPath(name), utf8ToGbkLossy(text));
    }
    fs::path scriptPath(const std::string& name) const {
        return m_package / "UpdateSql" / pathFromUtf8(name);
    }
    std::string exceptionLog() const { return gbkToUtf8(readFile(m_package / "ReException.Log")); }
    Rows employees() const {
        return server.sqliteRows("hrdb", "select id, name from emp order by id");
    }

    // Runs the whole upgrade from a fresh log, answering Yes to the confirmation.
    RunOutcome runUpgrade() {
        server.clearLog();
        return run.Bt_OkClick();
    }

    TdsTestServer server;
    fs::path m_package = server.folder() / "package";
    ScriptedPerson person;
    UpgradeRun run{person, m_package};
};

TEST_P(FreetdsRunTest, openDatabaseLogsBothConnectionsInWithTheFixedLogin) {
    run.settings().server = "  " + server.dataSource() + "\t";
    run.settings().database = " hrdb ";
    server.clearLog();

    ASSERT_TRUE(run.OpenDatabase());

    const auto logins = server.events("login");
    ASSERT_EQ(logins.size(), 2u) << describe(server.events());
    for (const JsonValue& login : logins) {
        EXPECT_EQ(login["user"].string(), "zelt2002");
        EXPECT_EQ(login["database"].string(), "hrdb");
        EXPECT_EQ(login["tds_version"].string(), GetParam());
    }
    EXPECT_EQ(runTrace(server.events()),
              (std::vector<std::string>{"A:select verdate from gs_ver"}));
}

TEST_P(FreetdsRunTest, refusedLoginsAreToldInTheStatusAndMissingVersionTableRaises) {
    // The server refuses the login: no box, no log, the status says why, with the
    // driver's message (carrying the server's) beside it.
    run.settings().database = "nosuchdb";
    EXPECT_FALSE(run.OpenDatabase());
    EXPECT_TRUE(person.toldOnlyTheStatus()) << ::testing::PrintToString(person.events);
    EXPECT_FALSE(fs::exists(m_package / "ReException.Log"));

    person.events.clear();
    run.settings().database = "hrdb";
    std::string wrongPassword = odbcTemplate();
    wrongPassword.replace(wrongPassword.find("%PASSWORD%"), 10, "nope");
    run.setOdbcTemplate(wrongPassword);
    EXPECT_FALSE(run.OpenDatabase());
    EXPECT_TRUE(person.toldOnlyTheStatus()) << ::testing::PrintToString(person.events);
    EXPECT_EQ(person.eventsWithPrefix("status:"), std::vector<std::string>{"登录数据库失败！"});
    EXPECT_NE(person.eventsWithPrefix("status-detail:")[0].find("Login failed"), std::string::npos)
        << person.eventsWithPrefix("status-detail:")[0];
    EXPECT_FALSE(fs::exists(m_package / "ReException.Log"));
    run.setOdbcTemplate(odbcTemplate());

    server.createDatabase("bare", false);
    run.settings().database = "bare";
    try {
        run.OpenDatabase();
        FAIL() << "the probe of a database without gs_ver passed";
    } catch (const std::exception& error) {
        EXPECT_NE(std::string(error.what()).find("Invalid object name 'gs_ver'."),
                  std::string::npos)
            << error.what();
    }
}

TEST_P(FreetdsRunTest, lineModeAppliesTheWholeListInOneTransaction) {
    writeScript("a.sql",
                "insert into emp values (1, N'张三')\r\ninsert into emp values (2, N'李四')\r\n");
    writeScript("b.sql", "update emp set name = N'王五' where id = 2\r\n");
    writeUpdateList("a.sql:IsAccess,b.sql:IsAccess");

    EXPECT_EQ(runUpgrade(), RunOutcome::Completed);

    EXPECT_EQ(runTrace(server.events()), (Trace{"A:select verdate from gs_ver"} + kBegin +
                                          Trace{"A:insert into emp values (1, N'张三')",
                                                "A:insert into emp values (2, N'李四')",
                                                "A:update emp set name = N'王五' where id = 2"} +
                                          kCommit))
        << describe(server.events());
    // The driver's level by its own requests, the run's by statements.
    const std::string via = GetParam() >= "7.2" ? "tm" : "sql";
    std::vector<std::string> vias;
    for (const JsonValue& event : server.events("transaction")) {
        vias.push_back(event["via"].string());
    }
    EXPECT_EQ(vias, (std::vector<std::string>{via, "sql", "sql", via, via, via}));
    // Each line goes out as its own batch, followed by a line break.
    std::vector<std::string> batches;
    for (const JsonValue& batch : server.events("batch")) {
        batches.push_back(batch["text"].string());
    }
    EXPECT_NE(std::find(batches.begin(), batches.end(), "insert into emp values (1, N'张三')\r\n"),
              batches.end())
        << describe(server.events("batch"));
    EXPECT_EQ(employees(), (Rows{{"1", "张三"}, {"2", "王五"}}));
    EXPECT_TRUE(person.saw("inform:升级完毕！"));
}

TEST_P(FreetdsRunTest, failingStatementIsLoggedAndTheOthersAreCommitted) {
    writeScript("a.sql", "insert into emp values (1, 'a')\r\ninsert into missing values (2)\r\n"
                         "insert into emp values (3, 'c')\r\n");
    writeUpdateList("a.sql:IsAccess");

    EXPECT_EQ(runUpgrade(), RunOutcome::Completed);

    EXPECT_EQ(exceptionLog(), "[FreeTDS][SQL Server]Invalid object name 'missing'."
                              "insert into missing values (2)\r\n\r\n");
    const auto trace = runTrace(server.events());
    // After a failed statement the run asks whether the transaction is still its own.
    const Trace expected =
        Trace{"A:select verdate from gs_ver"} + kBegin +
        Trace{"A:insert into emp values (1, 'a')", "A:insert into missing values (2)"} + kProof +
        Trace{"A:insert into emp values (3, 'c')"} + kCommit;
    EXPECT_EQ(trace, expected) << describe(server.events());
    EXPECT_EQ(employees(), (Rows{{"1", "a"}, {"3", "c"}}));
    EXPECT_TRUE(person.saw("inform:升级完毕！"));
}

TEST_P(FreetdsRunTest, missingLineModeFileIsFoundBeforeAnythingIsBegun) {
    writeScript("a.sql", "insert into emp values (1, 'a')\r\n");
    writeUpdateList("a.sql:IsAccess,missing.sql:IsAccess");

    EXPECT_EQ(runUpgrade(), RunOutcome::WalkFailed);

    EXPECT_EQ(runTrace(server.events()), (std::vector<std::string>{"A:select verdate from gs_ver"}))
        << describe(server.events());
    EXPECT_TRUE(employees().empty());
    EXPECT_TRUE(person.saw("inform:升级处理失败！"));
    EXPECT_FALSE(person.saw("inform:升级完毕！"));
}

TEST_P(FreetdsRunTest, serverSideEntryCommitsThenHandsTheScriptToOsql) {
    writeScript("a.sql", "insert into emp values (1, 'a')\r\n");
    writeScript("b.sql", "-- several batches, statements over several lines\r\n"
                         "insert into emp\r\n  values (2, 'b')\r\nGO\r\n"
                         "update emp set name = 'bb' where id = 2\r\ngo\r\n");
    writeScript("c.sql", "insert into emp values (3, 'c')\r\n");
    writeUpdateList("a.sql:IsAccess,b.sql:IsSqlserver,c.sql:IsAccess");

    EXPECT_EQ(runUpgrade(), RunOutcome::Completed);

    const auto calls = server.events("xp_cmdshell");
    ASSERT_EQ(calls.size(), 1u) << describe(server.events());
    EXPECT_EQ(calls[0]["command"].string(),
              "osql -E  -S (local) -d hrdb -i \"" + pathToUtf8(scriptPath("b.sql")) + "\" ");
    EXPECT_EQ(server.events("xp_cmdshell_output")[0]["output"].text(),
              "[(1 row affected), (1 row affected)]");
    const auto rpcs = server.events("rpc");
    ASSERT_EQ(rpcs.size(), 1u);
    EXPECT_EQ(rpcs[0]["name"].string(), "master.dbo.xp_cmdshell");

    EXPECT_EQ(runTrace(server.events()),
              (Trace{"A:select verdate from gs_ver"} + kBegin +
               Trace{"A:insert into emp values (1, 'a')"} + kCommit +
               Trace{"B:xp_cmdshell", "osql:insert into emp\n  values (2, 'b')",
                     "osql:update emp set name = 'bb' where id = 2",
                     // Outside any transaction from here on, and nothing left to commit.
                     "A:insert into emp values (3, 'c')"}))
        << describe(server.events());
    EXPECT_EQ(server.events("statement").back()["trancount"].number(), 0);
    EXPECT_EQ(employees(), (Rows{{"1", "a"}, {"2", "bb"}, {"3", "c"}}));
    EXPECT_FALSE(fs::exists(m_package / "ReException.Log")) << exceptionLog();
    EXPECT_TRUE(person.saw("inform:升级完毕！"));
}

TEST_P(FreetdsRunTest, osqlScriptErrorIsLoggedWhileTheWalkGoesOn) {
    writeScript("b.sql", "insert into emp values (1, 'a')\r\nGO\r\n"
                         "\r\ninsert into missing values (2)\r\nGO\r\n"
                         "insert into emp values (3, 'c')\r\n");
    writeScript("c.sql", "insert into emp values (4, 'd')\r\n");
    writeUpdateList("b.sql:IsSqlserver,c.sql:IsAccess");

    EXPECT_EQ(runUpgrade(), RunOutcome::Completed);

    const std::string log = exceptionLog();
    EXPECT_NE(log.find("Msg 208, Level 16, State 1, Server TDSTEST, Line 2\r\n"
                       "Invalid object name 'missing'."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("osql -E  -S (local) -d hrdb"), std::string::npos) << log;
    EXPECT_EQ(employees(), (Rows{{"1", "a"}, {"3", "c"}, {"4", "d"}}));
    EXPECT_TRUE(person.saw("inform:升级完毕！"));
}

TEST_P(FreetdsRunTest, chineseLiteralsOfGbkScriptsArriveUnchanged) {
    writeScript("a.sql", "insert into emp values (1, N'人力资源')\r\n"
                         "insert into emp values (2, '工资管理')\r\n");
    writeScript("b.sql", "insert into emp values (3, N'升级完毕')\r\n");
    writeUpdateList("a.sql:IsAccess,b.sql:IsSqlserver");
    ASSERT_EQ(readFile(scriptPath("b.sql")),
              "insert into emp values (3, N'\xc9\xfd\xbc\xb6\xcd\xea\xb1\xcf')\r\n");

    EXPECT_EQ(runUpgrade(), RunOutcome::Completed);

    EXPECT_EQ(employees(), (Rows{{"1", "人力资源"}, {"2", "工资管理"}, {"3", "升级完毕"}}));
}

TEST_P(FreetdsRunTest, transactionDoomedByTheServerTakesTheFailurePath) {
    writeScript("a.sql", "insert into emp values (1, 'a')\r\ninsert into emp values (2, 'b')\r\n"
                         "insert into emp values (3, 'c')\r\n");
    writeScript("b.sql", "insert into emp values (4, 'd')\r\n");
    writeUpdateList("a.sql:IsAccess,b.sql:IsAccess");
    server.setFailures(R"([{"match": "values (2,", "number": 1205, "dooms": true}])");

    EXPECT_EQ(runUpgrade(), RunOutcome::WalkFailed);

    // The server rolled the first statement back; nothing after the failure ran.
    EXPECT_TRUE(employees().empty()) << describe(server.events());
    const auto trace = runTrace(server.events());
    const Trace start = Trace{"A:select verdate from gs_ver"} + kBegin +
                        Trace{"A:insert into emp values (1, 'a')",
                              "A:insert into emp values (2, 'b')", "A:tx doomed"} +
                        kProof;
    ASSERT_GE(trace.size(), start.size()) << describe(server.events());
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + start.size()), start);
    for (const std::string& step : trace) {
        EXPECT_EQ(step.find("values (3,"), std::string::npos) << step;
        EXPECT_EQ(step.find("values (4,"), std::string::npos) << step;
        EXPECT_NE(step, "A:tx commit");
    }
    const std::string log = exceptionLog();
    EXPECT_EQ(log.rfind("[FreeTDS][SQL Server]Transaction (Process ID ", 0), 0u) << log;
    // Besides the statement's own error, the log says why the run stopped.
    EXPECT_NE(log.find("insert into emp values (2, 'b')\r\n\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(pathToUtf8(scriptPath("a.sql"))), std::string::npos) << log;
    EXPECT_TRUE(person.saw("inform:升级处理失败！"));
    EXPECT_FALSE(person.saw("inform:升级完毕！"));
}

TEST_P(FreetdsRunTest, uncommittableTransactionStopsTheWalkAtTheFailure) {
    writeScript("a.sql", "insert into emp values (1, 'a')\r\ninsert into emp values (2, 'b')\r\n"
                         "insert into emp values (3, 'c')\r\n");
    writeUpdateList("a.sql:IsAccess");
    server.setFailures(R"([{"match": "values (2,", "number": 547, "uncommittable": true}])");

    EXPECT_EQ(runUpgrade(), RunOutcome::WalkFailed);

    // XACT_STATE() answers -1: nothing is sent after the failure but the question and the
    // roll-back. A proof taking -1 for open would send the third statement.
    const auto trace = runTrace(server.events());
    const Trace expected = Trace{"A:select verdate from gs_ver"} + kBegin +
                           Trace{"A:insert into emp values (1, 'a')",
                                 "A:insert into emp values (2, 'b')", "A:tx uncommittable"} +
                           kProof + Trace{"A:tx rollback"};
    EXPECT_EQ(Trace(trace.begin(), trace.begin() + std::min(trace.size(), expected.size())),
              expected)
        << describe(server.events());
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "A:insert into emp values (3, 'c')"), 0);
    EXPECT_TRUE(employees().empty());
    EXPECT_TRUE(person.saw("inform:升级处理失败！"));
}

// A script that ends the transaction, seen by the check or hidden from it, commits
// nothing: the run's own level stays below whatever the script commits, a roll-back
// leaves later statements in a transaction of their own, and the proof fails the run.
struct Ending {
    const char* name;
    std::string statement;
};

const Ending kEndings[] = {
    {"HiddenCommit", "exec sp_executesql N'commit'"},
    {"HiddenRollback", "exec sp_executesql N'rollback'"},
    // A procedure the package defines: its body is not refused, and runs in the levels.
    {"ProcedureCommits",
     "CREATE PROCEDURE p_commits AS BEGIN TRAN COMMIT COMMIT\r\nexec p_commits"},
    {"ProcedureRollsBack", "CREATE PROCEDURE p_rolls_back AS ROLLBACK\r\nexec p_rolls_back"},
};

class FreetdsEndingTest : public FreetdsRunTest {};

TEST_P(FreetdsEndingTest, scriptThatEndsTheTransactionCommitsNothing) {
    for (const Ending& ending : kEndings) {
        SCOPED_TRACE(ending.name);
        fs::remove(m_package / "ReException.Log");
        person.events.clear();
        writeScript("a.sql", "insert into emp values (1, 'a')\r\n" + ending.statement +
                                 "\r\ninsert into emp values (2, 'b')\r\n");
        writeScript("b.sql", "insert into emp values (3, 'c')\r\n");
        writeUpdateList("a.sql:IsAccess,b.sql:IsAccess");

        EXPECT_EQ(runUpgrade(), RunOutcome::WalkFailed);

        const std::string log = exceptionLog();
        EXPECT_NE(log.find("数据库已结束本次升级的事务"), std::string::npos) << log;
        EXPECT_NE(log.find(pathToUtf8(scriptPath("a.sql"))), std::string::npos) << log;
        EXPECT_TRUE(person.saw("inform:升级处理失败！"));
        EXPECT_FALSE(person.saw("inform:升级完毕！"));
        EXPECT_TRUE(employees().empty()) << describe(server.events());
        // The session is handed back as found, with no level left open.
        EXPECT_EQ(server.events("statement").back()["text"].string(),
                  "SET IMPLICIT_TRANSACTIONS OFF");
        EXPECT_EQ(server.events("transaction").back()["trancount"].number(), 0);
    }
}

TEST_P(FreetdsRunTest, savepointsAndProceduresWithTheirOwnLevelsRunInsideTheTransaction) {
    writeScript("a.sql",
                "insert into emp values (1, 'a')\r\nSAVE TRANSACTION sp1\r\n"
                "insert into emp values (2, 'b')\r\nrollback transaction sp1\r\n"
                "CREATE PROCEDURE p_balanced AS BEGIN TRAN insert into emp values (3, 'c') "
                "COMMIT\r\nexec p_balanced\r\n");
    writeUpdateList("a.sql:IsAccess");

    EXPECT_EQ(runUpgrade(), RunOutcome::Completed) << exceptionLog();

    EXPECT_EQ(employees(), (Rows{{"1", "a"}, {"3", "c"}}));
    EXPECT_TRUE(person.saw("inform:升级完毕！"));
}

INSTANTIATE_TEST_SUITE_P(TdsVersions, FreetdsRunTest, ::testing::Values("7.1", "7.4"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = "Tds" + info.param;
                             name.erase(name.find('.'), 1);
                             return name;
                         });

INSTANTIATE_TEST_SUITE_P(TdsVersions, FreetdsEndingTest, ::testing::Values("7.1", "7.4"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = "Tds" + info.param;
                             name.erase(name.find('.'), 1);
                             return name;
                         });

// The two Data Source forms with an instance name.
class FreetdsInstanceTest : public ::testing::Test {
protected:
    bool openWith(TdsTestServer& server, const std::string& dataSource,
                  const std::string& odbcTemplate) {
        server.createDatabase("hrdb");
        ScriptedPerson person;
        UpgradeRun run(person, server.folder().path());
        run.settings().server = dataSource;
        run.settings().database = "hrdb";
        run.setOdbcTemplate(odbcTemplate);
        return run.OpenDatabase();
    }

    static std::vector<std::string> instancesSent(const TdsTestServer& server) {
        std::vector<std::string> instances;
        for (const JsonValue& event : server.events("prelogin")) {
            instances.push_back(event["instance"].string());
        }
        return instances;
    }
};

TEST_F(FreetdsInstanceTest, hostBackslashInstanceWithThePortInTheTemplate) {
    TdsTestServer server;
    const std::string withPort =
        std::string(defaultOdbcTemplate()) + ";Port=" + std::to_string(server.port());

    ASSERT_TRUE(openWith(server, "127.0.0.1\\HRSQL", withPort)) << describe(server.events());

    EXPECT_EQ(instancesSent(server), (std::vector<std::string>{"HRSQL", "HRSQL"}));
    EXPECT_TRUE(server.events("browser").empty());
}

TEST_F(FreetdsInstanceTest, hostBackslashInstanceThroughTheBrowserService) {
    TdsServerOptions options;
    options.browserPort = 1434; // fixed in FreeTDS
    options.instance = "HRSQL";
    TdsTestServer server(options);
    if (!server.browserAvailable()) {
        GTEST_SKIP() << "UDP port 1434 is held by another process: " << server.browserStatus();
    }

    ASSERT_TRUE(openWith(server, "127.0.0.1\\HRSQL", std::string(defaultOdbcTemplate())))
        << describe(server.events());

    const auto lookups = server.events("browser");
    ASSERT_EQ(lookups.size(), 2u) << describe(server.events());
    EXPECT_EQ(lookups[0]["instance"].string(), "HRSQL");
    EXPECT_EQ(instancesSent(server), (std::vector<std::string>{"HRSQL", "HRSQL"}));
}

} // namespace
} // namespace pupdate::testing
