// The TDS test server for the Windows test programs. Under Wine they cannot start the
// server themselves: the host starts one (tests/wine/test_services) and hands it over in
// P_UPDATE_TEST_TDS_PORT and P_UPDATE_TEST_TDS_FOLDER (its folder by its Unix name). The
// test programs share it, so each test uses databases of its own names.

#include "environment.h"
#include "host_path.h"
#include "tds_test_server.h"

#include <cstdlib>
#include <stdexcept>

namespace pupdate::testing {

TdsTestServer::TdsTestServer(TdsServerOptions options) {
    const std::filesystem::path folder =
        pathFromHost(hostServerSetting("P_UPDATE_TEST_TDS_FOLDER", "the TDS test server"));
    m_dataDir = folder / "data";
    m_log = folder / "server.jsonl";
    m_control = folder / "control.json";
    m_port = std::stoi(hostServerSetting("P_UPDATE_TEST_TDS_PORT", "the TDS test server"));
    if (options.browserPort) {
        m_browserStatus = "browser: not started for the Windows tests";
    }
}

TdsTestServer::~TdsTestServer() = default;

void TdsTestServer::stop() {
    throw std::logic_error("the host runs the TDS test server of the Windows tests");
}

} // namespace pupdate::testing
