// The TDS test server for the Windows test programs. Under Wine they cannot start the
// server themselves: the host starts one (tests/wine/test_services) and hands it over in
// P_UPDATE_TEST_TDS_PORT and P_UPDATE_TEST_TDS_FOLDER (its folder by its Unix name). The
// test programs share it, so each test uses databases of its own names.

#include "host_path.h"
#include "tds_test_server.h"

#include <cstdlib>
#include <stdexcept>

namespace pupdate::testing {

namespace {

std::string required(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        throw std::runtime_error(std::string(name) +
                                 " is not set: run the Windows tests through "
                                 "scripts/test-windows.sh, which starts the TDS test server");
    }
    return value;
}

} // namespace

TdsTestServer::TdsTestServer(TdsServerOptions options) {
    const std::filesystem::path folder = pathFromHost(required("P_UPDATE_TEST_TDS_FOLDER"));
    m_dataDir = folder / "data";
    m_log = folder / "server.jsonl";
    m_control = folder / "control.json";
    m_port = std::stoi(required("P_UPDATE_TEST_TDS_PORT"));
    if (options.browserPort) {
        m_browserStatus = "browser: not started for the Windows tests";
    }
}

TdsTestServer::~TdsTestServer() = default;

void TdsTestServer::stop() {
    throw std::logic_error("the host runs the TDS test server of the Windows tests");
}

} // namespace pupdate::testing
