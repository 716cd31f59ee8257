// Copies the package's program files into the installation folder.
//
// The copy works relative to open folder descriptors: each name is looked up once, a
// file is created with its mode, filled by the kernel (copy_file_range) and given its
// modification time through its own descriptor, so that thousands of small program files
// cost little more than the file system's own work.

#include "ascii_case.h"
#include "path_resolve.h"
#include "update_package.h"
#include "upgrade_run.h"

#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

// An open descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes now and tells whether the close succeeded (a late write error shows here).
    bool close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

std::string failure(const char* what, const fs::path& path, int error) {
    return fs::filesystem_error(what, path, std::error_code(error, std::system_category())).what();
}

std::string failure(const char* what, const fs::path& from, const fs::path& to, int error) {
    return fs::filesystem_error(what, from, to, std::error_code(error, std::system_category()))
        .what();
}

// Counts the files below a folder, for the progress maximum. Unreadable parts count
// as nothing here; the copy itself reports them.
std::int64_t countFiles(const fs::path& folder) {
    std::int64_t count = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_directory(error)) {
            ++count;
        }
    }
    return count;
}

struct FolderEntry {
    std::string name;
    bool folder = false;
};

// The entries of an open folder; false with errno set when it cannot be read. A link is
// taken for what it points to, as the platform's shell copy does.
bool listFolder(int folderFd, std::vector<FolderEntry>& entries) {
    entries.clear();
    const int fd = ::dup(folderFd);
    if (fd < 0) {
        return false;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    ::rewinddir(dir);
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        bool folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat status {};
            folder = ::fstatat(folderFd, entry->d_name, &status, 0) == 0 && S_ISDIR(status.st_mode);
        }
        entries.push_back({std::string(name), folder});
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return error == 0;
}

// The names in a destination folder, looked up exactly first, then case-folded.
struct DestinationNames {
    std::unordered_set<std::string> exact;
    std::unordered_map<std::string, std::string> folded;

    explicit DestinationNames(int folderFd) {
        std::vector<FolderEntry> entries;
        listFolder(folderFd, entries);
        for (FolderEntry& entry : entries) {
            folded.emplace(foldAsciiCase(entry.name), entry.name);
            exact.insert(std::move(entry.name));
        }
    }

    const std::string& match(const std::string& name) const {
        if (exact.count(name) != 0) {
            return name;
        }
        auto found = folded.find(foldAsciiCase(name));
        return found != folded.end() ? found->second : name;
    }
};

// Fills `out` from `in`, in the kernel where it can.
bool copyBytes(int in, int out, off_t size) {
    off_t left = size;
    while (left > 0) {
        const ssize_t copied =
            ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
        if (copied > 0) {
            left -= copied;
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

// Copies the contents of one folder into another that exists. Names already in the
// destination are matched without regard to letter case, so "Bin" in the installation
// receives the package's "bin" instead of getting a twin. Every failure is logged and
// the copy goes on with the rest.
class TreeCopy {
public:
    TreeCopy(UpgradeRun& run, Progress& progress) : m_run(run), m_progress(progress) {}

    void copyContents(int sourceFd, const fs::path& source, int destinationFd,
                      const fs::path& destination) {
        if (!enterFolder(sourceFd, source)) {
            return;
        }
        std::vector<FolderEntry> entries;
        if (!listFolder(sourceFd, entries)) {
            report(failure("cannot read folder", source, errno));
            m_openFolders.pop_back();
            return;
        }
        const DestinationNames existing(destinationFd);
        for (const FolderEntry& entry : entries) {
            const std::string& target = existing.match(entry.name);
            if (entry.folder) {
                copyFolder(sourceFd, source / entry.name, entry.name, destinationFd,
                           destination / target, target);
            } else {
                copyFile(sourceFd, source / entry.name, entry.name, destinationFd,
                         destination / target, target);
            }
        }
        m_openFolders.pop_back();
    }

private:
    void copyFolder(int sourceParent, const fs::path& from, const std::string& fromName,
                    int destinationParent, const fs::path& to, const std::string& toName) {
        if (::mkdirat(destinationParent, toName.c_str(), 0777) != 0 && errno != EEXIST) {
            report(failure("cannot create folder", to, errno));
            return;
        }
        Descriptor target(
            ::openat(destinationParent, toName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!target.valid()) {
            report(failure("cannot create folder", to, errno));
            return;
        }
        Descriptor source(
            ::openat(sourceParent, fromName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!source.valid()) {
            report(failure("cannot read folder", from, errno));
            return;
        }
        copyContents(source.get(), from, target.get(), to);
    }

    // A folder link back into the package would make the copy endless: a folder that is
    // already being copied further up is reported and skipped.
    bool enterFolder(int folderFd, const fs::path& path) {
        struct stat status {};
        if (::fstat(folderFd, &status) != 0) {
            report(failure("cannot read folder", path, errno));
            return false;
        }
        const FolderIdentity identity{status.st_dev, status.st_ino};
        for (const FolderIdentity& open : m_openFolders) {
            if (open == identity) {
                report(failure("folder is inside itself", path, ELOOP));
                return false;
            }
        }
        m_openFolders.push_back(identity);
        return true;
    }

    void copyFile(int sourceParent, const fs::path& from, const std::string& fromName,
                  int destinationParent, const fs::path& to, const std::string& toName) {
        if (!copyOneFile(sourceParent, fromName, destinationParent, toName)) {
            report(failure("cannot copy file", from, to, errno));
        }
        m_progress.setPosition(++m_copied);
        m_progress.repaint();
    }

    // False with errno set on failure.
    static bool copyOneFile(int sourceParent, const std::string& fromName, int destinationParent,
                            const std::string& toName) {
        Descriptor in(::openat(sourceParent, fromName.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        if (!in.valid() || ::fstat(in.get(), &status) != 0) {
            return false;
        }
        if (!S_ISREG(status.st_mode)) {
            errno = EINVAL; // a device or pipe in the package is no program file
            return false;
        }
        Descriptor out(::openat(destinationParent, toName.c_str(),
                                O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, status.st_mode & 07777));
        if (!out.valid() || !copyBytes(in.get(), out.get(), status.st_size)) {
            return false;
        }
        // Keep the file's times, as a copy by the platform's shell does.
        const timespec times[2] = {status.st_atim, status.st_mtim};
        ::futimens(out.get(), times);
        return out.close();
    }

    void report(const std::string& message) { m_run.WriteExceptionLog(message); }

    struct FolderIdentity {
        dev_t device;
        ino_t inode;
        bool operator==(const FolderIdentity&) const = default;
    };

    UpgradeRun& m_run;
    Progress& m_progress;
    std::int64_t m_copied = 0;
    std::vector<FolderIdentity> m_openFolders; // source folders from the top to here
};

} // namespace

void UpgradeRun::CopyProgramFiles() {
    const RunRecords::Step copying(m_records, LogRecordKind::Copy);
    fs::path source;
    if (!findFolder(m_programFolder, kProgramFilesFolder, source)) {
        return;
    }
    // The installation folder is used exactly as typed.
    const fs::path destination(m_settings.installFolder);
    if (m_settings.installFolder.empty()) {
        WriteExceptionLog("cannot copy program files: the installation folder is empty");
        return;
    }

    std::unique_ptr<Progress> progress = m_person.openProgress();
    progress->setMaximum(countFiles(source));
    progress->setText(text::kCopying);
    progress->setPosition(0);
    progress->repaint();

    std::error_code error;
    fs::create_directories(destination, error);
    Descriptor target(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Descriptor from(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!target.valid()) {
        WriteExceptionLog(failure("cannot create installation folder", destination,
                                  error ? error.value() : errno));
    } else if (!from.valid()) {
        WriteExceptionLog(failure("cannot read folder", source, errno));
    } else {
        TreeCopy(*this, *progress).copyContents(from.get(), source, target.get(), destination);
    }
    progress->close();
}

} // namespace pupdate
