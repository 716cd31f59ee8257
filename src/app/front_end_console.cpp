// The console program: P_Update.com on Windows, and P_Update on Linux built without the
// upgrade window. Every run is unattended in the console.

#include "console_front_end.h"
#include "front_end.h"

namespace pupdate {

int runFrontEnd(int&, char**, const CommandLine& commandLine) {
    if (consoleChosen()) {
        return runConsoleFrontEnd(commandLine);
    }
    return refuseWithoutWindow();
}

} // namespace pupdate
