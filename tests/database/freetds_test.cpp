// The layer on the driver the program ships with, FreeTDS, against the project's TDS test
// server: later results of a batch, the order of commit and autocommit, braced names.

#include "connections.h"
#include "odbc.h"
#include "scripted_person.h"
#include "tds_test_server.h"
#include "temp_dir.h"
#include "upgrade_run.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace pupdate::testing {
namespace {

using odbc::Connection;
using odbc::OdbcError;
using Rows = std::vector<std::vector<std::string>>;

class FreetdsLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_server.createDatabase("hrdb");
        m_server.sqlite("hrdb", "create table t (id int, name nvarchar(40))");
        m_conn.open(m_server.connectionString("hrdb"));
    }

    Rows stored() const {
        return m_server.sqliteRows("hrdb", "select id, name from t order by id");
    }

    TdsTestServer m_server;
    Connection m_conn;
};

TEST_F(FreetdsLayerTest, ErrorInALaterResultOfTheBatchRaises) {
    // FreeTDS returns the first result at once and the error only with the next one.
    try {
        m_conn.execute("select 1 select * from missing_table");
        FAIL() << "no error";
    } catch (const OdbcError& error) {
        EXPECT_EQ(error.sqlState(), "42S02");
        EXPECT_NE(std::string(error.what()).find("missing_table"), std::string::npos);
    }
    EXPECT_THROW(
        m_conn.execute("insert into t values (1, 'a') insert into missing_table values (1)"),
        OdbcError);
    // A first statement that touches no row ends its result with "no data".
    EXPECT_THROW(
        m_conn.execute("update t set name = 'x' where id = 99 select * from missing_table"),
        OdbcError);
    EXPECT_THROW(m_conn.execute("delete from t where id = 99 insert into missing_table values (1)"),
                 OdbcError);
    // The connection goes on.
    m_conn.execute("insert into t values (2, 'b')");
    EXPECT_EQ(stored().back(), (std::vector<std::string>{"2", "b"}));
}

TEST_F(FreetdsLayerTest, CommitReachesTheServerBeforeAutocommitIsBack) {
    m_conn.beginTrans();
    m_conn.execute("insert into t values (1, N'提交')");
    m_conn.commitTrans();
    m_conn.beginTrans();
    m_conn.execute("insert into t values (2, 'dropped')");
    m_conn.rollbackTrans();
    m_conn.execute("insert into t values (3, 'autocommit')");
    EXPECT_EQ(stored(), (Rows{{"1", "提交"}, {"3", "autocommit"}}));
}

TEST_F(FreetdsLayerTest, BracedDatabaseNamesReachTheServerWithTheFixedLogin) {
    TempDir program;
    ScriptedPerson person;
    UpgradeRun run(person, program.path());
    run.setOdbcTemplate(std::string(defaultOdbcTemplate()));
    run.settings().server = m_server.dataSource();
    for (const std::string name : {"a=b", "{x"}) {
        m_server.createDatabase(name);
        m_server.clearLog();
        run.settings().database = name;
        EXPECT_TRUE(run.OpenDatabase()) << name;
        const auto logins = m_server.events("login");
        ASSERT_EQ(logins.size(), 2u) << describe(m_server.events());
        for (const JsonValue& login : logins) {
            EXPECT_EQ(login["database"].string(), name);
            EXPECT_EQ(login["user"].string(), "zelt2002");
        }
    }
    // FreeTDS 1.3 keeps a doubled closing brace as two; the name may then not be found,
    // but nothing beyond it reaches the login.
    m_server.createDatabase("a}b");
    m_server.clearLog();
    run.settings().database = "a}b";
    const bool opened = run.OpenDatabase();
    const auto logins = m_server.events("login");
    ASSERT_FALSE(logins.empty());
    const std::string arrived = logins[0]["database"].string();
    EXPECT_TRUE(arrived == "a}b" || arrived == "a}}b") << arrived;
    EXPECT_EQ(logins[0]["user"].string(), "zelt2002");
    EXPECT_EQ(opened, arrived == "a}b");
    // A name not found is told in the status only.
    EXPECT_TRUE(opened ? person.events.empty() : person.toldOnlyTheStatus())
        << ::testing::PrintToString(person.events);
}

} // namespace
} // namespace pupdate::testing
