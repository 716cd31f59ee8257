// P_Update.exe, the window program of Windows: applies an update package to an installed
// application and its database.
//
// With an installation folder and a database name on the command line the upgrade runs
// at once, the window hidden but its message boxes shown (unattended); without them the
// operator fills the upgrade window. The console program is P_Update.com (main.cpp).

#include "command_line.h"
#include "window_front_end.h"

int main(int argc, char** argv) {
    return pupdate::runWindowsWindowFrontEnd(pupdate::processCommandLine(argc, argv));
}
