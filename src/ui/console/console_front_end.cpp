#include "console_front_end.h"

#include "console.h"
#include "console_person.h"
#include "interruption.h"
#include "paths.h"
#include "upgrade_run.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace pupdate {

namespace {

int runInConsole(const CommandLine& commandLine) {
    // Ctrl-C, SIGTERM, SIGHUP or the console closing stop the run at its next statement or
    // file, rolled back and logged, instead of ending the process in the middle of it.
    watchForInterruption();
    const ConsoleStreams console = standardConsole();
    ConsolePerson person(console.in, console.out, console.err, console.errIsTerminal,
                         !console.inIsTerminal);
    UpgradeRun run(person, programFolder());
    run.settings().installFolder = commandLine.installFolder;
    run.settings().database = commandLine.database;
    try {
        return unattendedExitStatus(run.Bt_OkClick());
    } catch (const std::exception& error) {
        console.out << std::flush;
        console.err << "Application Error: " << errorKindName(error) << ": " << error.what()
                    << std::endl;
        return 1;
    }
}

void printUsage() {
    std::cerr << "P_Update: no graphical display for the upgrade window.\n"
                 "Run the upgrade unattended in the console with the installation folder and "
                 "the database name:\n"
                 "  P_Update <installation folder> <database name>\n"
                 "The package (Update.ini, UpdatePro, UpdateSql) is read from the program's "
                 "folder; P_UPDATE_ODBC sets the ODBC connection template.\n";
}

} // namespace

bool consoleChosen() {
    const char* ui = std::getenv("P_UPDATE_UI");
    const bool requested = ui != nullptr && std::strcmp(ui, "console") == 0;
    return requested || !graphicalDisplay();
}

int runConsoleFrontEnd(const CommandLine& commandLine) {
    if (commandLine.unattended()) {
        return runInConsole(commandLine);
    }
    printUsage();
    return 1;
}

int refuseWithoutWindow() {
    std::cerr << "P_Update: this build has no upgrade window; run unattended with "
                 "P_UPDATE_UI=console.\n";
    printUsage();
    return 1;
}

} // namespace pupdate
