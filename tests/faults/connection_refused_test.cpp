// The database server refuses the connection at start: nothing is copied, no script is
// read, the run says nothing and the program ends with status 1.
//
// The refusal is real: the drivers connect over TCP to a port on 127.0.0.1 that was just
// bound and released, so the kernel answers with a reset.

#include "fault_fixture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;

int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

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
    run.settings().installFolder = folder.install().string();
    EXPECT_FALSE(run.OpenDatabase());
    EXPECT_FALSE(run.ADOCONN().isOpen());
    EXPECT_FALSE(run.ADOCONN1().isOpen());
    EXPECT_TRUE(person.events.empty());

    const fs::path program = installProgram(folder.package());
    const ProgramResult result = runProgram(program, odbcTemplate, dir / "process",
                                            {folder.install().string(), "zeltinfo"}, "y\n");
    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.status, 1) << result.err;
    // No message at all: not even the confirmation was asked.
    EXPECT_TRUE(result.out.empty()) << result.out;
    EXPECT_EQ(result.err.find("Application Error"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(folder.install()));
    EXPECT_FALSE(fs::exists(folder.package() / std::string(kExceptionLogName)));
}

INSTANTIATE_TEST_SUITE_P(Drivers, ConnectionRefusedTest, ::testing::ValuesIn(kDrivers),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace pupdate::testing
