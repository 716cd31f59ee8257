// Runs a command, the Windows test programs under Wine, with the servers they need
// running on this machine: a PostgreSQL cluster and the TDS test server, handed over in
// environment variables (see tests/common/databases_win.cpp and
// tests/tds/tds_test_server_win.cpp). Both are stopped when the command has ended.
// WINEPREFIX names the Wine prefix the programs run in.
//
//   test_services <command> [arguments...]

#include "databases.h"
#include "tds_test_server.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

int main(int argc, char** argv) {
    using namespace pupdate::testing;
    if (argc < 2) {
        std::cerr << "usage: test_services <command> [arguments...]\n";
        return 2;
    }
    try {
        PostgresCluster& cluster = PostgresCluster::instance();
        // The scripts that the Windows programs hand to osql lie in the Wine prefix.
        TdsServerOptions options;
        if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
            options.dosDevices = std::filesystem::path(prefix) / "dosdevices";
        }
        TdsTestServer tds(options);
        ::setenv("P_UPDATE_TEST_PG_PORT", std::to_string(cluster.port()).c_str(), 1);
        ::setenv("P_UPDATE_TEST_PG_SOCKET", cluster.folder().c_str(), 1);
        ::setenv("P_UPDATE_TEST_TDS_PORT", std::to_string(tds.port()).c_str(), 1);
        ::setenv("P_UPDATE_TEST_TDS_FOLDER", tds.folder().path().c_str(), 1);

        pid_t child = -1;
        const int spawned = ::posix_spawnp(&child, argv[1], nullptr, nullptr, argv + 1, environ);
        if (spawned != 0) {
            std::cerr << "test_services: cannot start " << argv[1] << ": " << std::strerror(spawned)
                      << '\n';
            return 127;
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0) {
            if (errno != EINTR) {
                std::cerr << "test_services: waitpid: " << std::strerror(errno) << '\n';
                return 1;
            }
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } catch (const std::exception& error) {
        std::cerr << "test_services: " << error.what() << '\n';
        return 1;
    }
}
