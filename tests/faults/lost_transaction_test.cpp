// The database ends the walk's transaction on its own, after a statement of the walk
// failed: the walk must stop at once, commit nothing and say that it failed, whatever the
// database and whatever its driver is set to do with errors.

#include "fault_fixture.h"
#include "mounts.h"

#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

using Strings = std::vector<std::string>;

class LostTransactionTest : public FaultTest {
protected:
    void expectFailedWithNothingCommitted(const ProgramResult& result,
                                          const std::string& statement) {
        EXPECT_FALSE(result.hung);
        EXPECT_EQ(result.status, 1) << result.out << result.err;
        EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("升级完毕"), std::string::npos) << result.out;
        // The reason names the statement that cost the transaction.
        const std::string log = folder.log();
        EXPECT_NE(log.find("数据库已结束本次升级的事务"), std::string::npos) << log;
        EXPECT_NE(log.find(statement), std::string::npos) << log;
    }
};

TEST_F(LostTransactionTest, SqliteRollingBackByItselfCommitsNothing) {
    useDatabase(Backend::Sqlite);
    database->exec("create table t (id integer primary key)");
    folder.writeUpdateList("a.sql:IsAccess,b.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n"
                                "insert into t values (2)\r\n"
                                "insert or rollback into t values (1)\r\n"
                                "insert into t values (3)\r\n");
    folder.writeScript("b.sql", "insert into t values (4)\r\n");

    expectFailedWithNothingCommitted(runUnattended(), "insert or rollback into t values (1)");
    EXPECT_TRUE(ids().empty());
}

TEST_F(LostTransactionTest, SqliteOnAFullDiskCommitsNothing) {
    Mount space = Mount::tmpfs(dir / "full", 256 * 1024);
    if (!space.mounted()) {
        GTEST_SKIP() << "tmpfs mount refused: " << space.why();
    }
    const SqliteDatabase full(dir / "full" / "zeltinfo.db");
    full.exec("create table t (id integer primary key, filler text)");
    std::string script;
    for (int i = 1; i <= 2000; ++i) {
        script += "insert into t values (" + std::to_string(i) + ", '" + std::string(1000, 'x') +
                  "')\r\n";
    }
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", script);

    const ProgramResult result = runProgram(program, full.odbcTemplate(), dir / "process",
                                            {pathToUtf8(folder.install()), "zeltinfo"}, "y\n");
    expectFailedWithNothingCommitted(result, "insert into t values (");
    EXPECT_EQ(full.query("select count(*) from t").at(0).at(0), "0");
}

// psqlODBC's Protocol setting decides what a failed statement does to the transaction:
// 7.4-2 rolls back the statement only, 7.4-1 the whole transaction, and 7.4-0 nothing, so
// that the server refuses everything until the end of the transaction.
class PostgresProtocolTest : public LostTransactionTest,
                             public ::testing::WithParamInterface<std::string> {};

TEST_P(PostgresProtocolTest, OneFailingLineAmongGoodOnes) {
    useDatabase(Backend::Postgres);
    database->exec("create table t (id integer primary key)");
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n"
                                "insert into missing_table values (2)\r\n"
                                "insert into t values (3)\r\n");
    std::string odbcTemplate = database->odbcTemplate();
    const std::size_t protocol = odbcTemplate.find("Protocol=7.4-2");
    ASSERT_NE(protocol, std::string::npos) << odbcTemplate;
    odbcTemplate.replace(protocol, 14, "Protocol=" + GetParam());

    const ProgramResult result =
        runProgram(program, odbcTemplate, dir / "process",
                   {pathToUtf8(folder.install()), database->name()}, "y\n");
    if (GetParam() == "7.4-2") {
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        EXPECT_EQ(ids(), (Strings{"1", "3"}));
        EXPECT_NE(folder.log().find("missing_table"), std::string::npos);
        return;
    }
    expectFailedWithNothingCommitted(result, "insert into missing_table values (2)");
    EXPECT_TRUE(ids().empty());
}

INSTANTIATE_TEST_SUITE_P(Protocols, PostgresProtocolTest,
                         ::testing::Values("7.4-0", "7.4-1", "7.4-2"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return "Protocol" + std::string(1, info.param.back());
                         });

} // namespace
} // namespace pupdate::testing
