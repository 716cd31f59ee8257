#include "command_line.h"

namespace pupdate {

CommandLine processCommandLine(int argc, const char* const* argv) {
    return commandLineFromArgv(argc, argv);
}

std::vector<std::string> processArguments(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr) {
            arguments.emplace_back(argv[i]);
        }
    }
    return arguments;
}

} // namespace pupdate
