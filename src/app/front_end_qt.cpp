// P_Update on Linux: the Qt upgrade window where there is a display, the console where
// there is none or P_UPDATE_UI=console asks for it.

#include "console_front_end.h"
#include "front_end.h"
#include "window_front_end.h"

namespace pupdate {

int runFrontEnd(int& argc, char** argv, const CommandLine& commandLine) {
    if (consoleChosen()) {
        return runConsoleFrontEnd(commandLine);
    }
    return runWindowFrontEnd(argc, argv, commandLine);
}

} // namespace pupdate
