// P_Update: applies an update package to an installed application and its database.
//
// With an installation folder and a database name on the command line the upgrade runs
// at once (unattended); without them the operator fills the upgrade window. Which front
// end a program has is chosen by the build (front_end.h).

#include "command_line.h"
#include "console.h"
#include "front_end.h"

int main(int argc, char** argv) {
    pupdate::protectStandardStreams();
    const pupdate::CommandLine commandLine = pupdate::processCommandLine(argc, argv);
    return pupdate::runFrontEnd(argc, argv, commandLine);
}
