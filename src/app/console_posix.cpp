#include "console.h"

#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace pupdate {

namespace {

bool environmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

} // namespace

ConsoleStreams standardConsole() {
    return {std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0,
            ::isatty(STDERR_FILENO) != 0};
}

bool graphicalDisplay() {
    return environmentSet("DISPLAY") || environmentSet("WAYLAND_DISPLAY");
}

} // namespace pupdate
