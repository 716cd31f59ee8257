// P_Update: applies an update package to an installed application and its database.
//
// With an installation folder and a database name on the command line the upgrade runs
// at once (unattended); without them the operator fills the upgrade window.

#include "command_line.h"
#include "console.h"
#include "console_person.h"
#include "interruption.h"
#include "paths.h"
#include "upgrade_run.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#if P_UPDATE_WITH_UI
#include "window_front_end.h"
#endif

namespace {

bool consoleRequested() {
    const char* ui = std::getenv("P_UPDATE_UI");
    return ui != nullptr && std::strcmp(ui, "console") == 0;
}

int runInConsole(const pupdate::CommandLine& commandLine) {
    // Ctrl-C, SIGTERM, SIGHUP or the console closing stop the run at its next statement or
    // file, rolled back and logged, instead of ending the process in the middle of it.
    pupdate::watchForInterruption();
    const pupdate::ConsoleStreams console = pupdate::standardConsole();
    pupdate::ConsolePerson person(console.in, console.out, console.err, console.errIsTerminal,
                                  !console.inIsTerminal);
    pupdate::UpgradeRun run(person, pupdate::programFolder());
    run.settings().installFolder = commandLine.installFolder;
    run.settings().database = commandLine.database;
    try {
        return pupdate::unattendedExitStatus(run.Bt_OkClick());
    } catch (const std::exception& error) {
        console.out << std::flush;
        console.err << "Application Error: " << pupdate::errorKindName(error) << ": "
                    << error.what() << std::endl;
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

int main(int argc, char** argv) {
    pupdate::protectStandardStreams();
    const pupdate::CommandLine commandLine = pupdate::processCommandLine(argc, argv);
    const bool display = pupdate::graphicalDisplay();
    const bool console = consoleRequested() || !display;

    if (commandLine.unattended() && console) {
        return runInConsole(commandLine);
    }
    if (console) {
        printUsage();
        return 1;
    }
#if P_UPDATE_WITH_UI
    return pupdate::runWindowFrontEnd(argc, argv, commandLine);
#else
    std::cerr << "P_Update: this build has no upgrade window; run unattended with "
                 "P_UPDATE_UI=console.\n";
    printUsage();
    return 1;
#endif
}
