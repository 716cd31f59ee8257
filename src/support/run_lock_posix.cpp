// The run lock on POSIX systems: flock on a descriptor of the package folder. The lock
// goes with the descriptor, which the system closes when the process ends; the
// descriptor is not passed on to programs the run may start.

#include "run_lock.h"
#include "utf8_path.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace pupdate {

namespace {

std::string failure(const std::filesystem::path& folder, int error) {
    return pathFailure("cannot lock the package folder",
                       std::error_code(error, std::system_category()), folder);
}

} // namespace

RunLock::RunLock(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        m_error = failure(folder, errno);
        return;
    }
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        m_handle = fd;
        m_state = State::Held;
        return;
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) {
        m_state = State::Busy;
    } else {
        m_error = failure(folder, error);
    }
}

RunLock::~RunLock() {
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle)); // closing the only descriptor releases the lock
    }
}

} // namespace pupdate
