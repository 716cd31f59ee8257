#include "command_line.h"

namespace pupdate {

CommandLine processCommandLine(int argc, const char* const* argv) {
    return commandLineFromArgv(argc, argv);
}

} // namespace pupdate
