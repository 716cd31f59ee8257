// The ODBC layer on both real drivers: statements, queries, texts, transactions, errors.

#include "odbc.h"
#include "temp_dir.h"
#include "test_databases.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace pupdate::testing {
namespace {

using odbc::Connection;
using odbc::OdbcError;
using Strings = std::vector<std::string>;

class OdbcTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        m_db = makeDatabase(GetParam(), m_dir, false);
        m_db->exec("create table t (id integer, txt varchar(20000))");
        m_conn.open(m_db->connectionString());
    }

    bool sqlite() const { return GetParam() == Backend::Sqlite; }
    // What another session sees: committed data only.
    Strings seen() const { return m_db->column("select txt from t order by id"); }

    TempDir m_dir;
    std::unique_ptr<TestDatabase> m_db;
    Connection m_conn;
};

TEST_P(OdbcTest, ReportsItsDatabaseSystem) {
    EXPECT_EQ(m_conn.dbmsName(), sqlite() ? "SQLite" : "PostgreSQL");
    EXPECT_TRUE(m_conn.isOpen());
    EXPECT_EQ(m_conn.inTransaction(), 0);
}

TEST_P(OdbcTest, SendsColonsQuestionMarksAndBracesAsWritten) {
    m_conn.execute("insert into t values (1, '12:30')");
    m_conn.execute("insert into t values (2, 'what? :name ?')");
    m_conn.execute("insert into t values (3, '{fn ucase(''x'')} {d ''2003-01-01''}')");
    // Line-mode statements arrive with a line break after them.
    m_conn.execute("insert into t values (4, 'crlf')\r\n");
    EXPECT_EQ(seen(),
              (Strings{"12:30", "what? :name ?", "{fn ucase('x')} {d '2003-01-01'}", "crlf"}));
}

TEST_P(OdbcTest, ChineseTextTravelsBothWaysUnchanged) {
    m_conn.execute("insert into t values (1, '人力资源 工资：一月')");
    const auto row =
        m_conn.queryFirstRow("select txt, '升级完毕！' from t where txt = '人力资源 工资：一月'");
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->at(0), "人力资源 工资：一月");
    EXPECT_EQ(row->at(1), "升级完毕！");
}

TEST_P(OdbcTest, ReadsLongValuesWholeAndKeepsNullApartFromEmpty) {
    std::string longText;
    for (int i = 0; i < 3000; ++i) {
        longText += "a中";
    }
    longText += "end";
    m_conn.execute("insert into t values (1, '" + longText + "')");
    m_conn.execute("insert into t values (2, null)");
    m_conn.execute("insert into t values (3, '')");
    const std::vector<odbc::Row> rows = m_conn.queryAll("select id, txt from t order by id");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][1], longText);
    EXPECT_EQ(rows[1][1], std::nullopt);
    EXPECT_EQ(rows[2][1], std::string());
    EXPECT_EQ(rows[2][0], "3");
}

TEST_P(OdbcTest, QueryWithoutRowsGivesNothingAndLeavesTheConnectionUsable) {
    EXPECT_EQ(m_conn.queryFirstRow("select txt from t"), std::nullopt);
    EXPECT_TRUE(m_conn.queryAll("select txt from t").empty());
    m_conn.execute("insert into t values (1, 'a')");
    m_conn.execute("insert into t values (2, 'b')");
    // The first row only: the rest of the result must not block the next statement.
    const auto first = m_conn.queryFirstRow("select txt from t order by id");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->at(0), "a");
    m_conn.execute("select txt from t");
    m_conn.execute("insert into t values (3, 'c')");
    EXPECT_EQ(seen(), (Strings{"a", "b", "c"}));
}

TEST_P(OdbcTest, StatementTouchingNoRowIsSuccess) {
    EXPECT_NO_THROW(m_conn.execute("update t set txt = 'x' where id = 99"));
    EXPECT_NO_THROW(m_conn.execute("delete from t where id = 99"));
}

TEST_P(OdbcTest, FailureCarriesTheDriversMessageAndState) {
    try {
        m_conn.execute("insert into missing_table values (1)");
        FAIL() << "no error";
    } catch (const OdbcError& error) {
        EXPECT_NE(std::string(error.what()).find("missing_table"), std::string::npos)
            << error.what();
        EXPECT_EQ(error.sqlState(), sqlite() ? "HY000" : "42P01");
    }
    EXPECT_THROW(m_conn.queryFirstRow("select nothing from t"), OdbcError);
    EXPECT_THROW(m_conn.queryAll("select from where"), OdbcError);
    // The statement handle is fine after errors.
    m_conn.execute("insert into t values (1, 'after')");
    EXPECT_EQ(seen(), Strings{"after"});
}

TEST_P(OdbcTest, ErrorInALaterStatementOfOneTextRaises) {
    if (sqlite()) {
        // The SQLite driver takes one statement per text and refuses more.
        EXPECT_THROW(m_conn.execute("insert into t values (1, 'a'); insert into t values (2, 'b')"),
                     OdbcError);
    } else {
        EXPECT_THROW(m_conn.execute("select 1; select * from missing_table"), OdbcError);
        EXPECT_THROW(m_conn.execute("insert into t values (1, 'a'); select 1 / (id - 1) from t"),
                     OdbcError);
        // Texts of several good statements run whole.
        m_conn.execute("insert into t values (2, 'b'); select 1; insert into t values (3, 'c')");
        EXPECT_EQ(seen(), (Strings{"b", "c"}));
    }
}

TEST_P(OdbcTest, CommitKeepsWhatTheTransactionDid) {
    m_conn.beginTrans();
    EXPECT_EQ(m_conn.inTransaction(), 1);
    m_conn.execute("insert into t values (1, 'kept')");
    EXPECT_TRUE(seen().empty()) << "visible before the commit";
    m_conn.commitTrans();
    EXPECT_EQ(m_conn.inTransaction(), 0);
    EXPECT_EQ(seen(), Strings{"kept"});
}

TEST_P(OdbcTest, RollbackRemovesWhatTheTransactionDid) {
    m_conn.execute("insert into t values (1, 'before')");
    m_conn.beginTrans();
    m_conn.execute("insert into t values (2, 'inside')");
    m_conn.execute("update t set txt = 'changed' where id = 1");
    m_conn.rollbackTrans();
    EXPECT_EQ(m_conn.inTransaction(), 0);
    EXPECT_EQ(seen(), Strings{"before"});
}

TEST_P(OdbcTest, FailedStatementInsideKeepsTheRestOnCommit) {
    m_conn.beginTrans();
    m_conn.execute("insert into t values (1, 'first')");
    EXPECT_THROW(m_conn.execute("insert into missing_table values (1)"), OdbcError);
    EXPECT_THROW(m_conn.execute("insert into t (no_such_column) values (2)"), OdbcError);
    m_conn.execute("insert into t values (3, 'third')");
    EXPECT_EQ(m_conn.inTransaction(), 1);
    m_conn.commitTrans();
    EXPECT_EQ(seen(), (Strings{"first", "third"}));
}

TEST_P(OdbcTest, AutocommitIsBackOnAfterCommitAndAfterRollback) {
    m_conn.beginTrans();
    m_conn.execute("insert into t values (1, 'tx')");
    m_conn.commitTrans();
    m_conn.execute("insert into t values (2, 'own')");
    EXPECT_EQ(seen(), (Strings{"tx", "own"})) << "a statement after commit must stand alone";

    m_conn.beginTrans();
    m_conn.execute("insert into t values (3, 'dropped')");
    m_conn.rollbackTrans();
    m_conn.execute("insert into t values (4, 'own again')");
    EXPECT_EQ(seen(), (Strings{"tx", "own", "own again"}));
}

TEST_P(OdbcTest, CommitAndRollbackWithoutTransactionGoToTheDriver) {
    EXPECT_NO_THROW(m_conn.commitTrans());
    EXPECT_NO_THROW(m_conn.rollbackTrans());
    EXPECT_EQ(m_conn.inTransaction(), 0);
    m_conn.execute("insert into t values (1, 'still autocommit')");
    EXPECT_EQ(seen(), Strings{"still autocommit"});

    m_conn.close();
    EXPECT_THROW(m_conn.commitTrans(), OdbcError);
    EXPECT_THROW(m_conn.rollbackTrans(), OdbcError);
    EXPECT_THROW(m_conn.beginTrans(), OdbcError);
    EXPECT_THROW(m_conn.execute("select 1"), OdbcError);
}

TEST_P(OdbcTest, ClosingRollsBackAnOpenTransaction) {
    m_conn.beginTrans();
    m_conn.execute("insert into t values (1, 'lost')");
    m_conn.close();
    EXPECT_FALSE(m_conn.isOpen());
    EXPECT_EQ(m_conn.inTransaction(), 0);
    EXPECT_TRUE(seen().empty());
    m_conn.close(); // a second close changes nothing
    EXPECT_FALSE(m_conn.isOpen());
}

TEST_P(OdbcTest, ReopensAfterAFailedOpen) {
    m_conn.close();
    try {
        m_conn.open("Driver={No Such Driver};Database=x");
        FAIL() << "opened";
    } catch (const OdbcError& error) {
        EXPECT_NE(std::string(error.what()).find("No Such Driver"), std::string::npos)
            << error.what();
    }
    EXPECT_FALSE(m_conn.isOpen());
    m_conn.open(m_db->connectionString());
    m_conn.execute("insert into t values (1, 'again')");
    EXPECT_EQ(seen(), Strings{"again"});
    // Opening an open connection starts over on the new string.
    m_conn.beginTrans();
    m_conn.execute("insert into t values (2, 'abandoned')");
    m_conn.open(m_db->connectionString());
    EXPECT_EQ(m_conn.inTransaction(), 0);
    EXPECT_EQ(seen(), Strings{"again"});
}

INSTANTIATE_TEST_SUITE_P(Drivers, OdbcTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         backendName);

} // namespace
} // namespace pupdate::testing
