// Runs CopyProgramFiles alone: the package's UpdatePro into an installation folder, as a
// process of its own so that it is timed the same way as cp -r.
//
//   copy_bench <program folder> <installation folder>

#include "quiet_person.h"
#include "upgrade_run.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <program folder> <installation folder>\n", argv[0]);
        return 2;
    }
    pupdate::bench::QuietPerson<pupdate::bench::SilentProgress> person;
    pupdate::UpgradeRun run(person, argv[1]);
    run.settings().installFolder = argv[2];
    run.CopyProgramFiles();
    return 0;
}
