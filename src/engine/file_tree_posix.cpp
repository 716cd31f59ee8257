// The copy's file-system calls on POSIX systems: descriptors of open folders, *at()
// calls relative to them, copy_file_range for the bytes and futimens for the times;
// resolved paths (realpath) and the processes behind temporary files (/proc).

#include "file_tree.h"
#include "interruption.h"
#include "utf8_path.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pupdate::filetree {

namespace {

std::error_code lastError() {
    return std::error_code(errno, std::system_category());
}

int fdOf(const Handle& handle) {
    return static_cast<int>(handle.native());
}

// The process's file mode creation mask, read once: the copy does not change it.
mode_t processUmask() {
    static const mode_t mask = [] {
        const mode_t current = ::umask(022);
        ::umask(current);
        return current;
    }();
    return mask;
}

Kind kindOf(mode_t mode) {
    if (S_ISREG(mode)) {
        return Kind::File;
    }
    return S_ISDIR(mode) ? Kind::Folder : Kind::Other;
}

// Bytes copied in the kernel between two looks at a request to stop: a large file does not
// keep the run from stopping for more than a moment.
constexpr std::uint64_t kPiece = 16 * 1024 * 1024;

bool stopRequested() {
    if (interruptionRequested()) {
        errno = ECANCELED;
        return true;
    }
    return false;
}

// Fills `out` with the `size` bytes the file had when it was opened, in the kernel where
// it can, in pieces.
bool copyBytes(int in, int out, std::uint64_t size) {
    std::uint64_t left = size;
    while (left > 0) {
        if (stopRequested()) {
            return false;
        }
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr,
                                                 static_cast<size_t>(std::min(left, kPiece)), 0);
        if (copied > 0) {
            left -= static_cast<std::uint64_t>(copied);
            if (left == 0) {
                return true;
            }
            continue;
        }
        if (copied == 0) {
            break; // the file shrank meanwhile; read what is there below
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            return false;
        }
        break; // not between these file systems: copy through a buffer
    }
    std::vector<char> buffer(128 * 1024);
    for (;;) {
        if (stopRequested()) {
            return false;
        }
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t put =
                ::write(out, buffer.data() + written, static_cast<size_t>(got - written));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            written += put;
        }
    }
}

} // namespace

// ------------------------------------------------------------------------------ Folder

Folder Folder::open(const std::filesystem::path& path, std::error_code& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = lastError();
        return Folder();
    }
    return Folder(Handle(fd), {});
}

Folder Folder::openFolder(const std::string& name, std::error_code& error) const {
    const int fd = ::openat(fdOf(m_handle), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = lastError();
        return Folder();
    }
    return Folder(Handle(fd), {});
}

Folder Folder::makeFolder(const std::string& name, bool& created, std::error_code& error) const {
    created = ::mkdirat(fdOf(m_handle), name.c_str(), 0777) == 0;
    if (!created && errno != EEXIST) {
        error = lastError();
        return Folder();
    }
    return openFolder(name, error);
}

Identity Folder::identity(std::error_code& error) const {
    struct stat status {};
    if (::fstat(fdOf(m_handle), &status) != 0) {
        error = lastError();
        return {};
    }
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool Folder::list(std::vector<Entry>& entries, std::error_code& error) const {
    entries.clear();
    const int fd = ::dup(fdOf(m_handle));
    if (fd < 0) {
        error = lastError();
        return false;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        error = lastError();
        ::close(fd);
        return false;
    }
    ::rewinddir(dir);
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        Kind kind = Kind::Other;
        bool link = entry->d_type == DT_LNK;
        switch (entry->d_type) {
        case DT_REG:
            kind = Kind::File;
            break;
        case DT_DIR:
            kind = Kind::Folder;
            break;
        case DT_UNKNOWN: {
            struct stat status {};
            if (::fstatat(fdOf(m_handle), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
                kind = Kind::Unknown;
                break;
            }
            link = S_ISLNK(status.st_mode);
            if (!link) {
                kind = kindOf(status.st_mode);
                break;
            }
            [[fallthrough]];
        }
        case DT_LNK: {
            // A link is taken for what it leads to, as the platform's shell copy does.
            struct stat status {};
            kind = ::fstatat(fdOf(m_handle), entry->d_name, &status, 0) == 0
                       ? kindOf(status.st_mode)
                       : Kind::Unknown;
            break;
        }
        default: // DT_FIFO, DT_SOCK, DT_CHR, DT_BLK
            break;
        }
        entries.push_back({std::string(name), kind, link});
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        error = std::error_code(readError, std::system_category());
        return false;
    }
    return true;
}

Identity Folder::entryIdentity(const std::string& name, std::error_code& error) const {
    struct stat status {};
    if (::fstatat(fdOf(m_handle), name.c_str(), &status, 0) != 0) {
        error = lastError();
        return {};
    }
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool Folder::entryIsFolder(const std::string& name) const {
    struct stat status {};
    return ::fstatat(fdOf(m_handle), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(status.st_mode);
}

bool Folder::writable(std::error_code& error) const {
    // Asked with the rights the process acts with, as a write would be.
    if (::faccessat(fdOf(m_handle), ".", W_OK | X_OK, AT_EACCESS) != 0) {
        error = lastError();
        return false;
    }
    return true;
}

bool Folder::rename(const std::string& from, const std::string& to, std::error_code& error) const {
    if (::renameat(fdOf(m_handle), from.c_str(), fdOf(m_handle), to.c_str()) != 0) {
        error = lastError();
        return false;
    }
    return true;
}

void Folder::removeFile(const std::string& name) const {
    ::unlinkat(fdOf(m_handle), name.c_str(), 0);
}

// -------------------------------------------------------------------------- SourceFile

struct SourceFile::Status {
    std::uint64_t size = 0;
    mode_t permissions = 0; // the permission bits
    timespec accessTime{};
    timespec modificationTime{};
};

// Nothing beyond the source's times is given to a new file here.
struct NewFile::Finish {};

SourceFile::SourceFile() = default;
SourceFile::~SourceFile() = default;
SourceFile::SourceFile(SourceFile&&) noexcept = default;
SourceFile& SourceFile::operator=(SourceFile&&) noexcept = default;
NewFile::NewFile() = default;
NewFile::~NewFile() = default;
NewFile::NewFile(NewFile&&) noexcept = default;
NewFile& NewFile::operator=(NewFile&&) noexcept = default;

SourceFile SourceFile::open(const Folder& folder, const std::string& name, std::error_code& error) {
    SourceFile file;
    // O_NONBLOCK: a named pipe put in place of the file after the folder was listed
    // opens at once instead of waiting for a writer; it is refused below unread.
    const int fd =
        ::openat(fdOf(folder.handle()), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = lastError();
        return file;
    }
    Handle handle(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        error = lastError();
        return file;
    }
    if (!S_ISREG(status.st_mode)) {
        error = std::make_error_code(std::errc::not_supported);
        return file;
    }
    file.m_handle = std::move(handle);
    file.m_status =
        std::make_unique<Status>(Status{static_cast<std::uint64_t>(status.st_size),
                                        status.st_mode & 07777, status.st_atim, status.st_mtim});
    return file;
}

// ----------------------------------------------------------------------------- NewFile

NewFile NewFile::create(const Folder& folder, const std::string& name, const SourceFile& source,
                        const std::string* replaces, std::error_code& error) {
    NewFile file;
    const int folderFd = fdOf(folder.handle());
    static const uid_t user = ::geteuid();
    static const gid_t group = ::getegid();
    struct stat old {};
    const bool keep = replaces != nullptr && ::fstatat(folderFd, replaces->c_str(), &old, 0) == 0 &&
                      S_ISREG(old.st_mode);
    // A replacement keeps the installed file's owner, group and mode. Set-user-ID and
    // set-group-ID stay only where the file stays with the owner and group it had: a file
    // handed over to its old owner, or left with this process where that is not
    // permitted, would run the package's program with rights nobody gave it.
    const bool handedOver = keep && (old.st_uid != user || old.st_gid != group);
    mode_t mode = keep ? old.st_mode & 07777 : source.m_status->permissions & 0777;
    if (handedOver) {
        mode &= ~static_cast<mode_t>(06000);
    }
    // A new file gets its source's permission bits less the umask, as `cp` gives them: no
    // set-user-ID, set-group-ID or sticky bit. A replacement's mode may not be cut short by
    // the umask: it is made private and given its mode once it has its owner.
    const bool modeSurvives = !keep || (mode & ~processUmask()) == mode;
    const int fd = ::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                            modeSurvives ? mode : 0600);
    if (fd < 0) {
        error = lastError();
        return file;
    }
    file.m_handle = Handle(fd);
    if (handedOver) {
        // Where this process may not hand the file over, it stays its own.
        ::fchown(fd, old.st_uid, old.st_gid);
    }
    if (!modeSurvives) {
        ::fchmod(fd, mode);
    }
    return file;
}

bool NewFile::fill(const SourceFile& source, std::error_code& error) {
    const int out = fdOf(m_handle);
    if (!copyBytes(fdOf(source.m_handle), out, source.m_status->size)) {
        error = lastError();
        return false;
    }
    // The source's times, as a copy by the platform's shell keeps them; a file system
    // that cannot set them is no reason to fail the copy.
    const timespec times[2] = {source.m_status->accessTime, source.m_status->modificationTime};
    ::futimens(out, times);
    return true;
}

// ------------------------------------------------------------------------------- Paths

std::filesystem::path realPath(const std::filesystem::path& path, std::error_code& error) {
    namespace fs = std::filesystem;
    fs::path head = fs::absolute(path, error);
    if (error) {
        return {};
    }
    std::vector<fs::path> missing; // the components that do not exist, last first
    for (;;) {
        if (char* resolved = ::realpath(head.c_str(), nullptr)) {
            fs::path result(resolved);
            std::free(resolved);
            for (auto part = missing.rbegin(); part != missing.rend(); ++part) {
                result /= *part;
            }
            // What does not exist holds no link: only its "." and ".." are left to settle.
            return missing.empty() ? result : normalPath(result);
        }
        const int failed = errno;
        const fs::path parent = head.parent_path();
        struct stat link {};
        // A link that leads nowhere exists, but where it leads cannot be told.
        if ((failed != ENOENT && failed != ENOTDIR) || parent == head ||
            ::lstat(head.c_str(), &link) == 0) {
            error = std::error_code(failed, std::system_category());
            return {};
        }
        if (!head.filename().empty()) {
            missing.push_back(head.filename());
        }
        head = parent;
    }
}

std::filesystem::path normalPath(const std::filesystem::path& path) {
    return path.lexically_normal();
}

std::string shownPath(const std::filesystem::path& path) {
    return pathToUtf8(path);
}

bool isWithin(const std::filesystem::path& path, const std::filesystem::path& folder) {
    std::string inner = path.native();
    std::string outer = folder.native();
    while (outer.size() > 1 && outer.back() == '/') {
        outer.pop_back();
    }
    if (outer == "/") {
        return !inner.empty() && inner.front() == '/';
    }
    return inner.compare(0, outer.size(), outer) == 0 &&
           (inner.size() == outer.size() || inner[outer.size()] == '/');
}

Identity identityOf(const std::filesystem::path& path, std::error_code& error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = lastError();
        return {};
    }
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// ---------------------------------------------------------------------------- Processes

namespace {

// The state letter and the start time (in clock ticks after boot) of a process, from
// /proc/<id>/stat; false when it cannot be read.
bool readProcessStat(const std::string& file, char& state, std::uint64_t& start) {
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line)) {
        return false;
    }
    // The command name in parentheses may hold anything, blanks and ')' too.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    fields >> state;
    // The start time is field 22; the state is field 3.
    for (int index = 4; index < 22 && (fields >> field); ++index) {
    }
    return static_cast<bool>(fields >> start);
}

} // namespace

ProcessStamp thisProcess() {
    static const ProcessStamp stamp = [] {
        ProcessStamp own;
        own.id = static_cast<std::uint64_t>(::getpid());
        char state = 0;
        if (!readProcessStat("/proc/self/stat", state, own.start)) {
            own.start = 0;
        }
        return own;
    }();
    return stamp;
}

bool processRuns(const ProcessStamp& process) {
    if (process.id == 0 || process.id > static_cast<std::uint64_t>(INT32_MAX)) {
        return false;
    }
    char state = 0;
    std::uint64_t start = 0;
    if (readProcessStat("/proc/" + std::to_string(process.id) + "/stat", state, start)) {
        // A process that has ended but was not yet waited for runs no longer.
        return start == process.start && state != 'Z' && state != 'X';
    }
    if (thisProcess().start != 0) {
        return false; // the system tells about processes, and of this one nothing
    }
    // No process file system: only whether the number is in use can be learnt.
    return ::kill(static_cast<pid_t>(process.id), 0) == 0 || errno == EPERM;
}

} // namespace pupdate::filetree
