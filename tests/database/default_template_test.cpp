// The default ODBC template of the platform against the TDS test server: FreeTDS by its
// own name on Linux, on Windows the SQL Server driver by the name every Windows has (under
// Wine, FreeTDS registered under that name).

#include "connections.h"
#include "odbc.h"
#include "tds_test_server.h"
#include "test_databases.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace pupdate::testing {
namespace {

TEST(DefaultTemplateTest, ReachesTheServerWithTheFixedLoginAndCarriesChinese) {
    TdsTestServer server;
    // The server may be shared with other tests: a database and a login of this test's own.
    const std::string name = testDatabaseName();
    server.createDatabase(name);
    server.sqlite(name, "create table t (id int, name nvarchar(40))");

    odbc::Connection connection;
    connection.open(
        toOdbcConnectionString(buildConnStr(server.dataSource(), name), defaultOdbcTemplate()));
    connection.execute("insert into t values (1, N'工资 人力资源')");
    const auto row = connection.queryFirstRow("select name from t where id = 1");
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->at(0), "工资 人力资源");
    connection.close();
    EXPECT_EQ(server.sqliteRows(name, "select name from t"),
              (std::vector<std::vector<std::string>>{{"工资 人力资源"}}));

    std::vector<JsonValue> logins;
    for (JsonValue& login : server.events("login")) {
        if (login["database"].string() == name) {
            logins.push_back(std::move(login));
        }
    }
    ASSERT_EQ(logins.size(), 1u) << describe(server.events());
    EXPECT_EQ(logins[0]["user"].string(), "zelt2002");
}

} // namespace
} // namespace pupdate::testing
