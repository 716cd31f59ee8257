// The database server refuses the connection at start: nothing is copied, no script is
// read, no box is shown and nothing is logged; the status tells why, with the driver's
// message beside it, and the program ends with status 1.
//
// The refusal is real: the drivers connect over TCP to a port on 127.0.0.1 that was just
// bound and released, so the kernel answers with a reset.

#include "closed_port.h"
#include "fault_fixture.h"

#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;

struct RefusingDriver {
    const char* name;
    std::string (*odbcTemplate)(int port);
};

const RefusingDriver kDrivers[] = {
    {"psqlODBC",
     [](int port) {
         return "Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=" + std::to_string(port) +
                ";Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%";
     }},
    {"FreeTDS",
     [](int port) {
         return "Driver={FreeTDS};Server=127.0.0.1;Port=" + std::to_string(port) +
                ";Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%;TDS_Version=7.4";
     }},
};

void PrintTo(const RefusingDriver& driver, std::ostream* out) {
    *out << driver.name;
}

class ConnectionRefusedTest : public ::testing::TestWithParam<RefusingDriver> {
protected:
    TempDir dir;
    PackageFolder folder{dir};
};

TEST_P(ConnectionRefusedTest, OpenDatabaseIsFalseNothingIsCopiedAndTheExitStatusIsOne) {
    const std::string odbcTemplate = GetParam().odbcTemplate(closedPort());
    folder.writeProgramFile("bin/app.dll", "new");
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n");

    ScriptedPerson person;
    UpgradeRun run(person, folder.package());
    run.setOdbcTemplate(odbcTemplate);
    run.settings().database = "zeltinfo";
    run.settings().installFolder = pathToUtf8(folder.install());
    EXPECT_FALSE(run.OpenDatabase());
    EXPECT_FALSE(run.ADOCONN().isOpen());
    EXPECT_FALSE(run.ADOCONN1().isOpen());
    const std::vector<std::string> details = person.eventsWithPrefix("status-detail:");
    ASSERT_EQ(details.size(), 1u) << ::testing::PrintToString(person.events);
    EXPECT_EQ(person.events,
              (std::vector<std::string>{"status:连接数据库失败！", "status-detail:" + details[0]}));

    const fs::path program = installProgram(folder.package());
    const ProgramResult result = runProgram(program, odbcTemplate, dir / "process",
                                            {pathToUtf8(folder.install()), "zeltinfo"}, "y\n");
    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.status, 1) << result.err;
    // No message but the status: not even the confirmation was asked. The driver's
    // message is on standard error.
    EXPECT_EQ(result.out, "状态: 连接数据库失败！\n");
    EXPECT_NE(result.err.find(details[0]), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("Application Error"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(folder.install()));
    EXPECT_FALSE(fs::exists(folder.package() / pathFromUtf8(kExceptionLogName)));
}

INSTANTIATE_TEST_SUITE_P(Drivers, ConnectionRefusedTest, ::testing::ValuesIn(kDrivers),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace pupdate::testing
