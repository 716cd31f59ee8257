// Standard streams on POSIX systems: SIGPIPE is ignored, so a write to a pipe nobody
// reads fails with EPIPE, which the streams record and the program does not look at; a
// stream that is not open at all is opened on /dev/null.

#include "standard_streams.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace pupdate {

void protectStandardStreams() {
    std::signal(SIGPIPE, SIG_IGN);
    // Without this the first file the run opens (the database, the log) would take the
    // free number and receive the console's messages as "standard output".
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

} // namespace pupdate
