// The copy's file-system calls on Windows. Win32 opens no name relative to an open
// folder, so a folder is held open (which keeps it from being renamed or removed while
// the copy works in it) and its entries are reached through the full name of the folder
// that handle holds, in the "\\?\" form that has no length limit and no reserved device
// names. Folders are listed from their handle, a reparse point (a symbolic link or a
// junction) is taken for what it leads to, as the shell's copy takes it, and identity is
// the volume's serial number with the file index.

#include "code_page.h"
#include "file_tree.h"
#include "interruption.h"
#include "utf8_path.h"

#include <aclapi.h>
#include <windows.h>

namespace pupdate::filetree {

namespace fs = std::filesystem;

namespace {

// The attributes a copy carries over; the others (compressed, encrypted, sparse, ...)
// are the file system's to give.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::error_code systemError(DWORD code) {
    return std::error_code(static_cast<int>(code), std::system_category());
}

std::error_code lastError() {
    return systemError(::GetLastError());
}

HANDLE handleOf(const Handle& handle) {
    return reinterpret_cast<HANDLE>(handle.native());
}

std::wstring wide(const std::string& utf8) {
    const std::u16string text = utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

std::string narrow(std::wstring_view name) {
    return utf16ToUtf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(name.data()), name.size()));
}

std::int64_t fileTime(const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                     time.dwLowDateTime);
}

// The full name of what `handle` holds, as "\\?\C:\..." (or "\\?\UNC\...", or by the
// volume's GUID where it has no drive letter), without a trailing separator; `fallback`
// made absolute when the system cannot tell.
fs::path finalPath(HANDLE handle, const fs::path& fallback) {
    for (const DWORD volume : {DWORD{VOLUME_NAME_DOS}, DWORD{VOLUME_NAME_GUID}}) {
        std::wstring name(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length =
                ::GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                            FILE_NAME_NORMALIZED | volume);
            if (length == 0) {
                break;
            }
            if (length < name.size()) {
                name.resize(length);
                while (!name.empty() && name.back() == L'\\') {
                    name.pop_back();
                }
                return fs::path(name);
            }
            name.resize(length);
        }
    }
    std::error_code ignored;
    fs::path absolute = fs::absolute(fallback, ignored);
    return absolute.empty() ? fallback : absolute;
}

// Opens a folder by its full name, following a reparse point. Other processes may read
// and write in it, but not rename or remove it while it is open.
Handle openFolderHandle(const std::wstring& name, std::error_code& error) {
    const HANDLE handle = ::CreateFileW(name.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = lastError();
        return Handle();
    }
    Handle held(reinterpret_cast<Handle::Native>(handle));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) {
        error = lastError();
        return Handle();
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = systemError(ERROR_DIRECTORY);
        return Handle();
    }
    return held;
}

// What a reparse point leads to, learnt by opening it.
Kind kindBehind(const std::wstring& name) {
    const HANDLE handle = ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Kind::Unknown;
    }
    const Handle held(reinterpret_cast<Handle::Native>(handle));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) {
        return Kind::Unknown;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Kind::Folder;
    }
    return ::GetFileType(handle) == FILE_TYPE_DISK ? Kind::File : Kind::Other;
}

// The access control list of `file` for a file that is to take its place, or null when a
// new file in the same folder gets the same by inheritance anyway: only a list of its own
// (protected from inheritance, or with entries given to it) is carried over. Released
// with LocalFree.
PSECURITY_DESCRIPTOR ownAccessList(HANDLE file, PACL& list, bool& isProtected) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    list = nullptr;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                          nullptr, &descriptor) != ERROR_SUCCESS) {
        return nullptr;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    isProtected = (control & SE_DACL_PROTECTED) != 0;
    bool ownEntries = false;
    if (list != nullptr) {
        for (DWORD index = 0; index < list->AceCount && !ownEntries; ++index) {
            void* entry = nullptr;
            if (::GetAce(list, index, &entry)) {
                ownEntries = (static_cast<ACE_HEADER*>(entry)->AceFlags & INHERITED_ACE) == 0;
            }
        }
    }
    if (list == nullptr || (!isProtected && !ownEntries)) {
        ::LocalFree(descriptor);
        return nullptr;
    }
    return descriptor;
}

} // namespace

// ------------------------------------------------------------------------------ Folder

Folder Folder::open(const fs::path& path, std::error_code& error) {
    Handle handle = openFolderHandle(path.native(), error);
    if (!handle.isOpen()) {
        return Folder();
    }
    fs::path full = finalPath(handleOf(handle), path);
    return Folder(std::move(handle), std::move(full));
}

Folder Folder::openFolder(const std::string& name, std::error_code& error) const {
    const std::wstring child = m_path.native() + L'\\' + wide(name);
    Handle handle = openFolderHandle(child, error);
    if (!handle.isOpen()) {
        return Folder();
    }
    // Through a junction or link the folder held lies elsewhere: its entries are reached
    // by its own name, not by the way it was found.
    fs::path full = finalPath(handleOf(handle), fs::path(child));
    return Folder(std::move(handle), std::move(full));
}

Folder Folder::makeFolder(const std::string& name, bool& created, std::error_code& error) const {
    const std::wstring child = m_path.native() + L'\\' + wide(name);
    created = ::CreateDirectoryW(child.c_str(), nullptr) != 0;
    if (!created && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        error = lastError();
        return Folder();
    }
    return openFolder(name, error);
}

Identity Folder::identity(std::error_code& error) const {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handleOf(m_handle), &information)) {
        error = lastError();
        return {};
    }
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                information.nFileIndexLow};
}

bool Folder::list(std::vector<Entry>& entries, std::error_code& error) const {
    entries.clear();
    // The folder's own handle is read from its start, as a fresh listing.
    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(handleOf(m_handle), request, buffer.data(),
                                            static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_NO_MORE_FILES) {
                return true;
            }
            error = systemError(code);
            return false;
        }
        request = FileIdBothDirectoryInfo;
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
            const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                const DWORD attributes = info->FileAttributes;
                const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                Kind kind = Kind::File;
                if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                    kind = kindBehind(m_path.native() + L'\\' + std::wstring(name));
                } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
                    kind = Kind::Other;
                } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    kind = Kind::Folder;
                }
                entries.push_back({narrow(name), kind, link});
            }
            if (info->NextEntryOffset == 0) {
                break;
            }
            bytes += info->NextEntryOffset;
        }
    }
}

Identity Folder::entryIdentity(const std::string& name, std::error_code& error) const {
    return identityOf(fs::path(m_path.native() + L'\\' + wide(name)), error);
}

bool Folder::entryIsFolder(const std::string& name) const {
    const DWORD attributes = ::GetFileAttributesW((m_path.native() + L'\\' + wide(name)).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool Folder::writable(std::error_code& error) const {
    // The folder opened for adding files: the system checks its access list and its
    // volume without anything being written.
    const HANDLE probe = ::CreateFileW(m_path.c_str(), FILE_ADD_FILE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        error = lastError();
        return false;
    }
    ::CloseHandle(probe);
    return true;
}

bool Folder::rename(const std::string& from, const std::string& to, std::error_code& error) const {
    const std::wstring source = m_path.native() + L'\\' + wide(from);
    const std::wstring target = m_path.native() + L'\\' + wide(to);
    if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    const DWORD moveError = ::GetLastError();
    error = systemError(moveError);
    // A read-only file is replaced as the shell's copy replaces it without asking; its
    // replacement already carries the attribute. Left as it was when that fails too.
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (moveError != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !::SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return false;
    }
    if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error.clear();
        return true;
    }
    error = lastError();
    ::SetFileAttributesW(target.c_str(), attributes);
    return false;
}

void Folder::removeFile(const std::string& name) const {
    const std::wstring file = m_path.native() + L'\\' + wide(name);
    if (!::DeleteFileW(file.c_str()) && ::GetLastError() == ERROR_ACCESS_DENIED) {
        // A file made read-only when it was filled.
        ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(file.c_str());
    }
}

// -------------------------------------------------------------------------- SourceFile

struct SourceFile::Status {
    std::uint64_t size = 0;
    DWORD attributes = 0;        // those a copy keeps (kKeptAttributes)
    std::int64_t accessTime = 0; // FILETIME
    std::int64_t modificationTime = 0;
};

struct NewFile::Finish {
    // The attributes given with the times, read-only last.
    DWORD attributes = 0;
};

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
    const std::wstring path = folder.m_path.native() + L'\\' + wide(name);
    // Others may go on reading, writing or renaming it: the copy reads what the handle
    // holds.
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = lastError();
        return file;
    }
    Handle held(reinterpret_cast<Handle::Native>(handle));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) {
        error = lastError();
        return file;
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = std::make_error_code(std::errc::not_supported);
        return file;
    }
    file.m_handle = std::move(held);
    file.m_status = std::make_unique<Status>(Status{
        (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow,
        information.dwFileAttributes & kKeptAttributes, fileTime(information.ftLastAccessTime),
        fileTime(information.ftLastWriteTime)});
    return file;
}

// ----------------------------------------------------------------------------- NewFile

NewFile NewFile::create(const Folder& folder, const std::string& name, const SourceFile& source,
                        const std::string* replaces, std::error_code& error) {
    NewFile file;
    DWORD attributes = source.m_status->attributes;
    PSECURITY_DESCRIPTOR keptSecurity = nullptr;
    PACL keptList = nullptr;
    bool keptProtected = false;
    if (replaces != nullptr) {
        // A replacement takes the attributes and the access control list of the file it
        // replaces, as the installation had them.
        const std::wstring old = folder.m_path.native() + L'\\' + wide(*replaces);
        const HANDLE handle = ::CreateFileW(old.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                            kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            const Handle held(reinterpret_cast<Handle::Native>(handle));
            BY_HANDLE_FILE_INFORMATION information{};
            if (::GetFileInformationByHandle(handle, &information) &&
                (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                attributes = information.dwFileAttributes & kKeptAttributes;
                keptSecurity = ownAccessList(handle, keptList, keptProtected);
            }
        }
    }
    const std::wstring path = folder.m_path.native() + L'\\' + wide(name);
    const HANDLE handle = ::CreateFileW(
        path.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES | (keptSecurity ? WRITE_DAC : 0), 0,
        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = lastError();
        ::LocalFree(keptSecurity);
        return file;
    }
    file.m_handle = Handle(reinterpret_cast<Handle::Native>(handle));
    file.m_finish = std::make_unique<Finish>(Finish{attributes});
    if (keptSecurity != nullptr) {
        // Inherited entries are the folder's to give; where this process may not set the
        // list, the file keeps what it inherited.
        const SECURITY_INFORMATION what =
            DACL_SECURITY_INFORMATION | (keptProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
        ::SetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr, nullptr, keptList, nullptr);
        ::LocalFree(keptSecurity);
    }
    return file;
}

bool NewFile::fill(const SourceFile& source, std::error_code& error) {
    const HANDLE in = handleOf(source.m_handle);
    const HANDLE out = handleOf(m_handle);
    std::vector<char> buffer(1024 * 1024);
    for (;;) {
        // A request to stop is looked at between pieces, so that a large file does not
        // keep the run from stopping.
        if (interruptionRequested()) {
            error = std::make_error_code(std::errc::operation_canceled);
            return false;
        }
        DWORD got = 0;
        if (!::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            error = lastError();
            return false;
        }
        if (got == 0) {
            break;
        }
        for (DWORD written = 0; written < got;) {
            DWORD put = 0;
            if (!::WriteFile(out, buffer.data() + written, got - written, &put, nullptr)) {
                error = lastError();
                return false;
            }
            written += put;
        }
    }
    // The source's times and the chosen attributes, read-only among them, once every
    // byte is written. A file system that cannot set them is no reason to fail the copy.
    FILE_BASIC_INFO basic{};
    basic.LastAccessTime.QuadPart = source.m_status->accessTime;
    basic.LastWriteTime.QuadPart = source.m_status->modificationTime;
    const DWORD attributes = m_finish ? m_finish->attributes : 0;
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(out, FileBasicInfo, &basic, sizeof basic);
    return true;
}

// ------------------------------------------------------------------------------- Paths

namespace {

// The system's prefix of a long path, "\\?\", and its form for a share, "\\?\UNC\".
constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongSharePrefix = L"\\\\?\\UNC\\";

} // namespace

fs::path normalPath(const fs::path& path) {
    const std::wstring& text = path.native();
    if (!text.starts_with(kLongPrefix)) {
        return path.lexically_normal();
    }
    // The rest settled on its own, the prefix put back as it was.
    const fs::path rest = fs::path(text.substr(kLongPrefix.size())).lexically_normal();
    return fs::path(std::wstring(kLongPrefix) + rest.native());
}

std::string shownPath(const fs::path& path) {
    const std::wstring& text = path.native();
    if (text.starts_with(kLongSharePrefix)) {
        return pathToUtf8(fs::path(L"\\\\" + text.substr(kLongSharePrefix.size())));
    }
    if (text.starts_with(kLongPrefix)) {
        return pathToUtf8(fs::path(text.substr(kLongPrefix.size())));
    }
    return pathToUtf8(path);
}

fs::path realPath(const fs::path& path, std::error_code& error) {
    fs::path head = fs::absolute(path, error);
    if (error) {
        return {};
    }
    std::vector<fs::path> missing; // the components that do not exist, last first
    for (;;) {
        const HANDLE handle = ::CreateFileW(head.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            const Handle held(reinterpret_cast<Handle::Native>(handle));
            fs::path result = finalPath(handle, head);
            for (auto part = missing.rbegin(); part != missing.rend(); ++part) {
                result /= *part;
            }
            // What does not exist holds no link: only its "." and ".." are left to settle.
            return missing.empty() ? result : normalPath(result);
        }
        const DWORD failed = ::GetLastError();
        const fs::path parent = head.parent_path();
        // A link that leads nowhere exists, but where it leads cannot be told.
        if ((failed != ERROR_FILE_NOT_FOUND && failed != ERROR_PATH_NOT_FOUND &&
             failed != ERROR_DIRECTORY) ||
            parent == head || ::GetFileAttributesW(head.c_str()) != INVALID_FILE_ATTRIBUTES) {
            error = systemError(failed);
            return {};
        }
        if (!head.filename().empty()) {
            missing.push_back(head.filename());
        }
        head = parent;
    }
}

bool isWithin(const fs::path& path, const fs::path& folder) {
    const std::wstring& inner = path.native();
    std::wstring outer = folder.native();
    while (!outer.empty() && (outer.back() == L'\\' || outer.back() == L'/')) {
        outer.pop_back();
    }
    if (outer.empty() || inner.size() < outer.size()) {
        return false;
    }
    // Letter case as the file system compares names.
    if (::CompareStringOrdinal(inner.data(), static_cast<int>(outer.size()), outer.data(),
                               static_cast<int>(outer.size()), TRUE) != CSTR_EQUAL) {
        return false;
    }
    return inner.size() == outer.size() || inner[outer.size()] == L'\\' ||
           inner[outer.size()] == L'/';
}

Identity identityOf(const fs::path& path, std::error_code& error) {
    const HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = lastError();
        return {};
    }
    const Handle held(reinterpret_cast<Handle::Native>(handle));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) {
        error = lastError();
        return {};
    }
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
                information.nFileIndexLow};
}

// ---------------------------------------------------------------------------- Processes

namespace {

// When the process of `handle` was created, as a FILETIME; 0 when it cannot be told.
std::uint64_t creationTime(HANDLE handle) {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!::GetProcessTimes(handle, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return static_cast<std::uint64_t>(fileTime(created));
}

} // namespace

ProcessStamp thisProcess() {
    static const ProcessStamp stamp{::GetCurrentProcessId(), creationTime(::GetCurrentProcess())};
    return stamp;
}

bool processRuns(const ProcessStamp& process) {
    if (process.id > 0xFFFFFFFFull) {
        return false;
    }
    const HANDLE handle =
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(process.id));
    if (handle == nullptr) {
        // No process of that number; one that may not be looked at is taken to run.
        return ::GetLastError() != ERROR_INVALID_PARAMETER;
    }
    const Handle held(reinterpret_cast<Handle::Native>(handle));
    DWORD exitCode = 0;
    if (::GetExitCodeProcess(handle, &exitCode) && exitCode != STILL_ACTIVE) {
        return false;
    }
    const std::uint64_t created = creationTime(handle);
    return created == 0 || created == process.start;
}

} // namespace pupdate::filetree
