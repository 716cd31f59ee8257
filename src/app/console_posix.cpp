#include "console.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace pupdate {

namespace {

bool environmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

} // namespace

void protectStandardStreams() {
    // A write to a pipe nobody reads then fails with EPIPE, which the streams record and
    // the program does not look at.
    std::signal(SIGPIPE, SIG_IGN);
    // A stream that is not open at all is opened on /dev/null. Without this the first
    // file the run opens (the database, the log) would take the free number and receive
    // the console's messages as "standard output".
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

ConsoleStreams standardConsole() {
    return {std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0,
            ::isatty(STDERR_FILENO) != 0};
}

bool graphicalDisplay() {
    return environmentSet("DISPLAY") || environmentSet("WAYLAND_DISPLAY");
}

} // namespace pupdate
