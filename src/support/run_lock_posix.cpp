// The run lock on POSIX systems: flock on a file of each key in /run/lock, where any user
// may make files, else in the temporary folder. The file is only a name for the lock: it
// holds nothing and stays when the run ends, made readable by everybody so that a run of
// another user can open and lock it too. The lock goes with the descriptor, which the
// system closes when the process ends; it is not passed on to programs the run starts.

#include "run_lock.h"
#include "utf8_path.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

// Opens the lock file, making it when it is not there. An existing file is opened without
// O_CREAT, which a folder such as /tmp refuses for files of other users; a named pipe or
// a link put in its place is not followed or waited on.
int openLockFile(const fs::path& file, int& error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0 && errno == EEXIST) {
                continue; // made by another run meanwhile
            }
            if (fd >= 0) {
                ::fchmod(fd, 0644); // whatever the umask
            }
        }
        if (fd < 0) {
            error = errno;
            return -1;
        }
        struct stat status {};
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            error = S_ISREG(status.st_mode) ? errno : EINVAL;
            ::close(fd);
            return -1;
        }
        return fd;
    }
    error = EEXIST;
    return -1;
}

std::vector<fs::path> lockFolders() {
    std::vector<fs::path> folders{"/run/lock"};
    std::error_code error;
    fs::path temporary = fs::temp_directory_path(error);
    if (!error && temporary != folders.front()) {
        folders.push_back(std::move(temporary));
    }
    return folders;
}

} // namespace

RunLock::RunLock(const std::vector<std::string>& keys) {
    static const std::vector<fs::path> folders = lockFolders();
    for (const std::string& key : keys) {
        const std::string name = runLockName(key) + ".lock";
        int fd = -1;
        int error = 0;
        fs::path file;
        for (const fs::path& folder : folders) {
            file = folder / name;
            fd = openLockFile(file, error);
            if (fd >= 0) {
                break;
            }
        }
        if (fd < 0) {
            m_state = State::Unavailable;
            m_error = pathFailure("cannot make the run lock",
                                  std::error_code(error, std::system_category()), file);
            continue;
        }
        int result = 0;
        do {
            result = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (result != 0 && errno == EINTR);
        if (result == 0) {
            m_handles.push_back(fd);
            continue;
        }
        const int lockError = errno;
        ::close(fd);
        if (lockError == EWOULDBLOCK) {
            releaseAll();
            m_state = State::Busy;
            m_error.clear();
            return;
        }
        m_state = State::Unavailable;
        m_error = pathFailure("cannot take the run lock",
                              std::error_code(lockError, std::system_category()), file);
    }
}

RunLock::~RunLock() {
    releaseAll();
}

void RunLock::releaseAll() {
    for (const std::intptr_t fd : m_handles) {
        ::close(static_cast<int>(fd)); // closing the only descriptor releases the lock
    }
    m_handles.clear();
}

} // namespace pupdate
