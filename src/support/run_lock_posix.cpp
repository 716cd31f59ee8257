// The run lock on POSIX systems: flock on a file of each key in /run/lock, where any user
// may make files, else in the temporary folder. The file is only a name for the lock: it
// holds nothing, readable by everybody so that a run of another user can open and lock it
// too. The lock goes with the descriptor, which the system closes when the process ends;
// it is not passed on to programs the run starts. The holder removes the file before it
// lets go, so that lock files do not pile up; a run that locked a file somebody removed
// meanwhile holds nothing and tries again with the file now of that name. A lock file
// that is there is where every run looks for the lock: only a folder that cannot hold the
// file at all sends a run on to the next folder, never one whose file it cannot lock.

#include "run_lock.h"
#include "utf8_path.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

enum class Taken {
    Held,   // locked, and still the file of that name
    Busy,   // locked by another run
    Moved,  // locked, but removed or replaced meanwhile by the run that held it
    Failed, // cannot be opened or locked here (error)
};

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

Taken lockFile(const fs::path& file, int& fd, int& error) {
    fd = openLockFile(file, error);
    if (fd < 0) {
        return Taken::Failed;
    }
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        error = errno;
        ::close(fd);
        fd = -1;
        return error == EWOULDBLOCK ? Taken::Busy : Taken::Failed;
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::lstat(file.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        return Taken::Held;
    }
    ::close(fd);
    fd = -1;
    error = EAGAIN;
    return Taken::Moved;
}

// Why the lock in `file` cannot be taken, in our words with the system's after them.
std::string lockFailure(const fs::path& file, int error) {
    struct stat status {};
    std::string why = "无法取得运行锁";
    if (error == EACCES && ::lstat(file.c_str(), &status) == 0 && status.st_uid != ::geteuid()) {
        why = "运行锁文件属于另一个账户（用户号 " + std::to_string(status.st_uid) + "），无法使用";
    }
    return why + ": " + std::error_code(error, std::system_category()).message() + " [" +
           pathToUtf8(file) + "]";
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
        Taken taken = Taken::Failed;
        int fd = -1;
        int error = 0;
        fs::path file;
        for (int attempt = 0; attempt < 100; ++attempt) {
            for (const fs::path& folder : folders) {
                file = folder / name;
                taken = lockFile(file, fd, error);
                struct stat status {};
                if (taken != Taken::Failed || ::lstat(file.c_str(), &status) == 0) {
                    break; // taken, or there and not to be had: no lock elsewhere
                }
            }
            if (taken != Taken::Moved) {
                break;
            }
        }
        switch (taken) {
        case Taken::Held:
            m_handles.emplace_back(fd);
            m_files.push_back(file);
            break;
        case Taken::Busy:
            releaseAll();
            m_state = State::Busy;
            m_error.clear();
            return;
        case Taken::Moved:
        case Taken::Failed:
            m_state = State::Unavailable;
            m_error = lockFailure(file, error);
            break;
        }
    }
}

RunLock::~RunLock() {
    releaseAll();
}

void RunLock::releaseAll() {
    for (std::size_t index = 0; index < m_handles.size(); ++index) {
        // Removed while still held, so that nobody locks it after it is let go; where
        // this user may not remove it, it stays for its owner.
        ::unlink(m_files[index].c_str());
        m_handles[index].reset(); // the only descriptor: the lock goes
    }
    m_handles.clear();
    m_files.clear();
}

} // namespace pupdate
