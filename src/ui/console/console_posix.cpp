#include "console.h"
#include "interruption.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <streambuf>
#include <unistd.h>

namespace pupdate {

namespace {

bool environmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Standard input that stops waiting once the run has been asked to stop. The signal
// handler lets an interrupted read go on waiting (so that database calls are not cut
// short); the question before the run would otherwise outlast the operator's Ctrl-C.
class InterruptibleInput : public std::streambuf {
protected:
    int_type underflow() override {
        if (gptr() < egptr()) {
            return traits_type::to_int_type(*gptr());
        }
        while (!interruptionRequested()) {
            pollfd input{STDIN_FILENO, POLLIN, 0};
            const int ready = ::poll(&input, 1, kPollMs);
            if (ready < 0 && errno != EINTR) {
                break;
            }
            if (ready <= 0) {
                continue;
            }
            const ssize_t got = ::read(STDIN_FILENO, m_buffer, sizeof m_buffer);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            setg(m_buffer, m_buffer, m_buffer + got);
            return traits_type::to_int_type(*gptr());
        }
        return traits_type::eof();
    }

private:
    static constexpr int kPollMs = 100;
    char m_buffer[4096];
};

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
    static InterruptibleInput input;
    static std::istream in(&input);
    return {in, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0, ::isatty(STDERR_FILENO) != 0};
}

bool graphicalDisplay() {
    return environmentSet("DISPLAY") || environmentSet("WAYLAND_DISPLAY");
}

} // namespace pupdate
