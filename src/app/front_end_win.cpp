// P_Update.exe, the window program of Windows. With an installation folder and a database
// name on the command line the upgrade runs at once, the window hidden but its message
// boxes shown (unattended); without them the operator fills the upgrade window. The
// console program is P_Update.com (front_end_console.cpp).

#include "front_end.h"
#include "window_front_end.h"

namespace pupdate {

int runFrontEnd(int&, char**, const CommandLine& commandLine) {
    return runWindowsWindowFrontEnd(commandLine);
}

} // namespace pupdate
