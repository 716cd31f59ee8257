// Runs the run's own check of a package alone, as a process of its own so that it is timed
// the same way as P_Update_check: Update.ini read, then every entry of the update list
// checked (CheckUpdatePackage) as the run does before it changes anything.
//
//   check_bench <program folder>

#include "quiet_person.h"
#include "settings_file.h"
#include "upgrade_run.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <program folder>\n", argv[0]);
        return 2;
    }
    pupdate::bench::QuietPerson<pupdate::bench::SilentProgress> person;
    pupdate::UpgradeRun run(person, argv[1]);
    run.setUpdateFiles(pupdate::readUpdateList(argv[1]).list);
    return run.CheckUpdatePackage(false, true) ? 0 : 1;
}
