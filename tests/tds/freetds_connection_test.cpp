// The database layer over the real FreeTDS driver, TDS 7.1 to 7.4, against the project's
// TDS test server: what the layer's calls put on the wire and what comes back.

#include "odbc.h"
#include "tds_test_server.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace pupdate::testing {
namespace {

using odbc::Connection;
using odbc::OdbcError;

class FreetdsConnectionTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        server.createDatabase("hrdb");
        server.sqlite("hrdb", "create table t (id int, name nvarchar(40))");
    }

    std::string connectionString() const { return server.connectionString("hrdb", GetParam()); }
    bool transactionRequests() const { return GetParam() >= "7.2"; }

    // The transaction events of the log, as "<action> via <via>".
    std::vector<std::string> transactions() const {
        std::vector<std::string> seen;
        for (const JsonValue& event : server.events("transaction")) {
            seen.push_back(event["action"].string() + " via " + event["via"].string());
        }
        return seen;
    }

    TdsTestServer server;
};

TEST_P(FreetdsConnectionTest, logsInWithTheFixedLoginAndReportsSqlServer) {
    Connection connection;
    connection.open(connectionString());

    const auto logins = server.events("login");
    ASSERT_EQ(logins.size(), 1u) << describe(server.events());
    EXPECT_EQ(logins[0]["user"].string(), "zelt2002");
    EXPECT_EQ(logins[0]["database"].string(), "hrdb");
    EXPECT_EQ(logins[0]["tds_version"].string(), GetParam());
    EXPECT_EQ(connection.dbmsName(), "Microsoft SQL Server");

    const auto row = connection.queryFirstRow("select verdate from gs_ver");
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(server.sqliteRows("hrdb", "select verdate from gs_ver")[0][0], (*row)[0].value());
}

TEST_P(FreetdsConnectionTest, refusedLoginsCarryTheServersErrorNumbers) {
    Connection connection;
    EXPECT_THROW(connection.open(server.connectionString("nosuchdb", GetParam())), OdbcError);
    std::string wrongPassword = connectionString();
    wrongPassword.replace(wrongPassword.find("PWD=kp4719"), 10, "PWD=nope");
    EXPECT_THROW(connection.open(wrongPassword), OdbcError);
    EXPECT_FALSE(connection.isOpen());

    std::vector<std::string> refusals;
    for (const JsonValue& event : server.events("login_failed")) {
        refusals.push_back(event["numbers"].text());
    }
    EXPECT_EQ(refusals, (std::vector<std::string>{"[4060, 18456]", "[18456]"}))
        << describe(server.events());
}

TEST_P(FreetdsConnectionTest, beginAndCommitFrameTheStatementsOnTheWire) {
    Connection connection;
    connection.open(connectionString());
    server.clearLog();

    connection.beginTrans();
    connection.execute("insert into t values (1, N'一')\r\n");
    connection.execute("insert into t values (2, N'二')\r\n");
    connection.commitTrans();

    std::vector<JsonValue> inserts;
    for (JsonValue& statement : server.events("statement")) {
        if (statement["text"].string().rfind("insert", 0) == 0) {
            inserts.push_back(std::move(statement));
        }
    }
    ASSERT_EQ(inserts.size(), 2u) << describe(server.events());
    for (const JsonValue& insert : inserts) {
        EXPECT_EQ(insert["trancount"].number(), 1) << insert.text();
    }
    const std::string via = transactionRequests() ? "tm" : "sql";
    // Turning autocommit back on after the commit ends the empty transaction that the
    // commit request opened again.
    EXPECT_EQ(transactions(), (std::vector<std::string>{"begin via " + via, "commit via " + via,
                                                        "begin via " + via, "rollback via " + via}))
        << describe(server.events());
    EXPECT_EQ(server.sqliteRows("hrdb", "select id, name from t order by id"),
              (std::vector<std::vector<std::string>>{{"1", "一"}, {"2", "二"}}));
    EXPECT_EQ(connection.inTransaction(), 0);
}

TEST_P(FreetdsConnectionTest, rollbackUndoesAndClosingRollsBackWhatIsOpen) {
    {
        Connection connection;
        connection.open(connectionString());
        connection.beginTrans();
        connection.execute("insert into t values (1, 'a')");
        connection.rollbackTrans();
        connection.beginTrans();
        connection.execute("insert into t values (2, 'b')");
        connection.close();
    }
    EXPECT_TRUE(server.sqliteRows("hrdb", "select id from t").empty()) << describe(server.events());
}

TEST_P(FreetdsConnectionTest, failedStatementRaisesWithTheServersMessage) {
    Connection connection;
    connection.open(connectionString());
    try {
        connection.execute("insert into missing values (1)\r\n");
        FAIL() << "the statement did not fail";
    } catch (const OdbcError& error) {
        EXPECT_EQ(error.nativeCode(), 208);
        EXPECT_NE(std::string(error.what()).find("Invalid object name 'missing'."),
                  std::string::npos)
            << error.what();
    }
    // The connection stays usable.
    connection.execute("insert into t values (3, 'c')");
    EXPECT_EQ(server.sqliteRows("hrdb", "select count(*) from t")[0][0], "1");
}

TEST_P(FreetdsConnectionTest, procedureCallIsAnRpcWithOnePositionalParameter) {
    Connection connection;
    connection.open(connectionString());
    const std::string command = "dir \"C:\\升级 包\"";

    const std::vector<std::string> output =
        connection.callProcedure("master.dbo.xp_cmdshell", command);

    const auto calls = server.events("rpc");
    ASSERT_EQ(calls.size(), 1u) << describe(server.events());
    EXPECT_EQ(calls[0]["name"].string(), "master.dbo.xp_cmdshell");
    const auto& params = calls[0]["params"].array();
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0]["name"].string(), "");
    EXPECT_EQ(params[0]["value"].string(), command);
    // The procedure's rows: its output lines and the closing NULL row.
    EXPECT_EQ(output, (std::vector<std::string>{
                          "'dir' is not recognized as an internal or external command,",
                          "operable program or batch file.", ""}));
}

TEST_P(FreetdsConnectionTest, serverSideTransactionStateIsVisibleToQueries) {
    Connection connection;
    connection.open(connectionString());
    EXPECT_EQ(connection.queryFirstRow("SELECT XACT_STATE()")->at(0), "0");
    connection.beginTrans();
    EXPECT_EQ(connection.queryFirstRow("SELECT XACT_STATE()")->at(0), "1");
    EXPECT_EQ(connection.queryFirstRow("SELECT @@TRANCOUNT")->at(0), "1");
    connection.commitTrans();
    EXPECT_EQ(connection.queryFirstRow("SELECT @@TRANCOUNT")->at(0), "0");
}

TEST_P(FreetdsConnectionTest, doomingFailureEndsTheTransactionOnTheServer) {
    Connection connection;
    connection.open(connectionString());
    server.setFailures(R"([{"match": "values (2,", "number": 1205, "dooms": true}])");

    connection.beginTrans();
    connection.execute("insert into t values (1, 'a')");
    try {
        connection.execute("insert into t values (2, 'b')");
        FAIL() << "the statement did not fail";
    } catch (const OdbcError& error) {
        EXPECT_EQ(error.nativeCode(), 1205);
    }
    // The layer still counts its transaction; the server has none.
    EXPECT_EQ(connection.inTransaction(), 1);
    EXPECT_EQ(connection.queryFirstRow("SELECT XACT_STATE()")->at(0), "0");
    connection.execute("insert into t values (3, 'c')");

    EXPECT_EQ(server.sqliteRows("hrdb", "select id from t"),
              (std::vector<std::vector<std::string>>{{"3"}}))
        << describe(server.events());
    ASSERT_EQ(server.events("doomed").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(TdsVersions, FreetdsConnectionTest,
                         ::testing::Values("7.1", "7.2", "7.3", "7.4"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = "Tds" + info.param;
                             name.erase(name.find('.'), 1);
                             return name;
                         });

} // namespace
} // namespace pupdate::testing
