#pragma once
// The file-system calls of the program-file copy, made on open folders: a folder is
// opened once and every name in it is looked up relative to it, so that thousands of
// small program files cost little more than the file system's own work. The rules of the
// copy (the walk, what is copied, skipped and logged, replacing a file through a
// temporary one) are in program_copy.cpp; the calls of one platform are in
// file_tree_<platform>.cpp. Names are UTF-8. Errors are the system's, as error codes.

#include "system_handle.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace pupdate::filetree {

// An open handle of the platform (a descriptor on POSIX, a HANDLE on Windows), closed
// when it goes.
using Handle = SystemHandle;

// A file or folder as the system knows it, whatever the path it was reached by.
struct Identity {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    bool operator==(const Identity&) const = default;
};

struct IdentityHash {
    std::size_t operator()(const Identity& identity) const {
        return std::hash<std::uint64_t>()(identity.file * 31 + identity.volume);
    }
};

enum class Kind {
    File,    // a regular file
    Folder,  // a folder
    Other,   // a named pipe, a socket or a device
    Unknown, // what it is could not be learnt (a link that leads nowhere, no access)
};

struct Entry {
    std::string name;  // as stored by the file system
    Kind kind;         // of what a link (or reparse point) leads to, not of the link
    bool link = false; // the entry itself is a symbolic link (a reparse point on Windows)
};

class SourceFile;
class NewFile;

class Folder {
public:
    Folder() = default;
    // Opens a folder by path; a link is followed.
    static Folder open(const std::filesystem::path& path, std::error_code& error);
    // Opens the sub-folder `name`; a link is followed.
    Folder openFolder(const std::string& name, std::error_code& error) const;
    // Creates the sub-folder `name` unless something of that name exists, then opens it;
    // `created` tells whether it was made now (and so is empty).
    Folder makeFolder(const std::string& name, bool& created, std::error_code& error) const;

    bool isOpen() const { return m_handle.isOpen(); }
    const Handle& handle() const { return m_handle; }
    Identity identity(std::error_code& error) const;
    // Every entry but "." and "..", in the order the file system gives them.
    bool list(std::vector<Entry>& entries, std::error_code& error) const;
    // The identity of what the entry `name` is or, for a link, leads to.
    Identity entryIdentity(const std::string& name, std::error_code& error) const;
    // True when the entry `name` itself (not what a link leads to) is a folder, which a
    // file cannot replace.
    bool entryIsFolder(const std::string& name) const;
    // Whether this process may make and rename entries in the folder: false with the
    // system's reason when it may not.
    bool writable(std::error_code& error) const;
    // Renames the entry `from` to `to` in one step, replacing a file named `to`.
    bool rename(const std::string& from, const std::string& to, std::error_code& error) const;
    // Removes the file `name`; nothing is reported.
    void removeFile(const std::string& name) const;

private:
    friend class SourceFile;
    friend class NewFile;
    Folder(Handle handle, std::filesystem::path path)
        : m_handle(std::move(handle)), m_path(std::move(path)) {}
    Handle m_handle;
    // Where names cannot be looked up relative to an open folder (Windows), the full name
    // of the folder the handle holds, through which its entries are reached; the handle
    // keeps it from being renamed meanwhile. Empty on POSIX.
    std::filesystem::path m_path;
};

// A regular file of the package, open for reading.
class SourceFile {
public:
    // Opens the file `name` of `folder` for reading. Opening never waits and never reads
    // from anything but a regular file: a named pipe, a socket or a device is refused
    // with errc::not_supported.
    static SourceFile open(const Folder& folder, const std::string& name, std::error_code& error);
    SourceFile();
    ~SourceFile();
    SourceFile(SourceFile&&) noexcept;
    SourceFile& operator=(SourceFile&&) noexcept;
    bool isOpen() const { return m_handle.isOpen(); }

private:
    friend class NewFile;
    // What the system reported when the file was opened: its size, its rights and its
    // times, as the platform gives them (file_tree_<platform>.cpp).
    struct Status;
    Handle m_handle;
    std::unique_ptr<Status> m_status;
};

// A file made afresh under a name nothing else uses, filled from a source file.
class NewFile {
public:
    // Creates the file `name` in `folder`; something of that name must not exist yet
    // (errc::file_exists). It takes the owner, group and permission bits of the file
    // `replaces` in the same folder when one is named and exists (as far as the system
    // lets this process set them; set-user-ID and set-group-ID only where the file stays
    // with the owner and group it had), else the permission bits of `source` less the
    // umask, never set-user-ID, set-group-ID or sticky.
    static NewFile create(const Folder& folder, const std::string& name, const SourceFile& source,
                          const std::string* replaces, std::error_code& error);
    bool isOpen() const { return m_handle.isOpen(); }
    // Fills it with the bytes of `source` and gives it the source's access and
    // modification times (on Windows also the attributes chosen when it was created).
    // A request to stop the run is looked at between pieces of a large file; it ends the
    // fill with errc::operation_canceled.
    bool fill(const SourceFile& source, std::error_code& error);
    // Closes it; a write error the system reports only now shows here.
    bool close(std::error_code& error) { return m_handle.close(error); }
    NewFile();
    ~NewFile();
    NewFile(NewFile&&) noexcept;
    NewFile& operator=(NewFile&&) noexcept;

private:
    // What the platform gives the file once it is filled, beside the source's times
    // (on Windows the attributes chosen when it was created); none on POSIX.
    struct Finish;
    Handle m_handle;
    std::unique_ptr<Finish> m_finish;
};

// The path of `path` with every link resolved, absolute; where its end does not exist,
// the resolved path of the part that does, followed by the rest. A link that leads
// nowhere is an error (errc::no_such_file_or_directory). The system's own form
// (on Windows "\\?\C:\..."), so that two such paths compare.
std::filesystem::path realPath(const std::filesystem::path& path, std::error_code& error);

// `path` with "." and ".." settled by its text, as lexically_normal does, keeping the
// system's own prefix of a long path (on Windows "\\?\", which lexically_normal would cut
// to "\?\" and so make a path that compares with nothing).
std::filesystem::path normalPath(const std::filesystem::path& path);

// A path as a person writes it, as UTF-8: without that prefix.
std::string shownPath(const std::filesystem::path& path);

// True when `path` is `folder` or lies below it, both as realPath gives them; letter case
// is ignored where the file system ignores it.
bool isWithin(const std::filesystem::path& path, const std::filesystem::path& folder);

// The identity of the file or folder at `path` (links followed).
Identity identityOf(const std::filesystem::path& path, std::error_code& error);

// A process as names of temporary files carry it: its number, and the time it started,
// which tells it from a later process given the same number.
struct ProcessStamp {
    std::uint64_t id = 0;
    std::uint64_t start = 0;
};

// This process.
ProcessStamp thisProcess();
// False when no process of that number and start runs any longer; true when it runs or
// this cannot be told.
bool processRuns(const ProcessStamp& process);

} // namespace pupdate::filetree
