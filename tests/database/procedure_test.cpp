// Procedure calls with one string parameter, on PostgreSQL: psqlODBC turns `{call f(?)}`
// into a query on the function, so a set-returning function stands for a procedure whose
// result rows are console lines.

#include "odbc.h"
#include "test_databases.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace pupdate::testing {
namespace {

using odbc::Connection;
using odbc::OdbcError;
using Strings = std::vector<std::string>;

class ProcedureTest : public ::testing::Test {
protected:
    void SetUp() override {
        PostgresCluster& cluster = PostgresCluster::instance();
        m_name = testDatabaseName();
        cluster.createDatabase(m_name);
        cluster.exec(m_name, "create table calls (command text)");
        // Echoes the command, its length and a NULL line; records the command it got.
        cluster.exec(m_name, "create function cmdshell(command text) "
                             "returns table (output text, extra integer) language plpgsql as $$ "
                             "begin insert into calls values (command); "
                             "return query values (command, 1), (length(command)::text, 2), "
                             "(null, 3); end $$");
        cluster.exec(m_name, "create function failing(command text) returns setof text "
                             "language plpgsql as $$ begin "
                             "raise exception 'xp_cmdshell refused: %', command; end $$");
        m_conn.open(cluster.connectionString(m_name));
    }

    Strings recorded() const {
        Strings commands;
        for (const auto& row :
             PostgresCluster::instance().query(m_name, "select command from calls")) {
            commands.push_back(row.at(0).value_or("NULL"));
        }
        return commands;
    }

    std::string m_name;
    Connection m_conn;
};

TEST_F(ProcedureTest, ReturnsTheFirstColumnOfEveryRowWithNullAsEmpty) {
    const std::string command = "osql -E  -S (local) -d zlhr -i \"C:\\a b\\x.sql\" ";
    EXPECT_EQ(m_conn.callProcedure("cmdshell", command),
              (Strings{command, std::to_string(command.size()), ""}));
    EXPECT_EQ(recorded(), Strings{command});
}

TEST_F(ProcedureTest, ParameterLongerThanTwoHundredCharactersIsNotCut) {
    std::string command = "osql -E  -S (local) -d 人力资源 -i \"";
    command += std::string(400, 'p') + "\\升级.sql\" ";
    const Strings lines = m_conn.callProcedure("cmdshell", command);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], command);
    EXPECT_EQ(recorded(), Strings{command});
}

TEST_F(ProcedureTest, ProcedureErrorRaisesAndTheConnectionStaysUsable) {
    try {
        m_conn.callProcedure("failing", "dir");
        FAIL() << "no error";
    } catch (const OdbcError& error) {
        EXPECT_NE(std::string(error.what()).find("xp_cmdshell refused: dir"), std::string::npos)
            << error.what();
    }
    EXPECT_THROW(m_conn.callProcedure("no_such_procedure", "dir"), OdbcError);
    // Neither the bound parameter nor a cursor is left behind.
    m_conn.execute("insert into calls values ('plain ? text')");
    EXPECT_EQ(m_conn.callProcedure("cmdshell", "again").at(0), "again");
    EXPECT_EQ(recorded(), (Strings{"plain ? text", "again"}));
}

TEST_F(ProcedureTest, CallOnAClosedConnectionRaises) {
    m_conn.close();
    EXPECT_THROW(m_conn.callProcedure("cmdshell", "dir"), OdbcError);
}

} // namespace
} // namespace pupdate::testing
