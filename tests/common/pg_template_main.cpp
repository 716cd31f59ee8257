// Makes the PostgreSQL cluster that the test programs of one test run copy, and removes
// it when the run is over. The cluster lives in a folder of its own under /tmp that the
// postgres user can reach; the file `location` in the build folder says where.
//
//   pg_template make <location>     (a template left by an interrupted run goes first)
//   pg_template remove <location>

#include "databases.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace {

using pupdate::testing::PostgresCluster;
namespace fs = std::filesystem;

void make(const fs::path& location) {
    PostgresCluster::removeTemplate(location);
    const fs::path folder = PostgresCluster::makeTemplate();
    // Written beside and renamed, so that a test never reads half a name.
    const fs::path staging = location.string() + ".new";
    {
        std::ofstream out(staging, std::ios::trunc);
        out << folder.string() << '\n';
        if (!out) {
            throw std::runtime_error("cannot write " + staging.string());
        }
    }
    fs::rename(staging, location);
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc == 3 ? argv[1] : "";
    if (command != "make" && command != "remove") {
        std::cerr << "usage: pg_template make|remove <location file>\n";
        return 2;
    }
    try {
        if (command == "make") {
            make(argv[2]);
        } else {
            PostgresCluster::removeTemplate(argv[2]);
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    return 0;
}
