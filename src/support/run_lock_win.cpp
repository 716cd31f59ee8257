// The run lock on Windows: a named semaphore of one count whose name is the package
// folder's identity (its volume's serial number and its file index), taken without
// waiting. A folder cannot be locked with LockFileEx, and an exclusive handle of the
// folder would keep the run itself from listing it. The semaphore goes when its last
// handle closes, which the system does when the process ends, however it ends; a second
// lock in the same process finds it taken, as with the POSIX lock.

#include "run_lock.h"
#include "utf8_path.h"

#include <cstdio>
#include <system_error>
#include <windows.h>

namespace pupdate {

namespace {

std::string failure(const std::filesystem::path& folder, DWORD error) {
    return pathFailure("cannot lock the package folder",
                       std::error_code(static_cast<int>(error), std::system_category()), folder);
}

} // namespace

RunLock::RunLock(const std::filesystem::path& folder) {
    // Open only to learn which folder it is; every kind of sharing is allowed.
    const HANDLE handle =
        ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        m_error = failure(folder, ::GetLastError());
        return;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const BOOL known = ::GetFileInformationByHandle(handle, &information);
    const DWORD infoError = ::GetLastError();
    ::CloseHandle(handle);
    if (!known) {
        m_error = failure(folder, infoError);
        return;
    }
    wchar_t identity[64];
    std::swprintf(identity, 64, L"P_Update.%08lX.%08lX%08lX", information.dwVolumeSerialNumber,
                  information.nFileIndexHigh, information.nFileIndexLow);

    // Every session of the machine first; a process that may not make global names keeps
    // to its own session.
    HANDLE semaphore = nullptr;
    DWORD error = ERROR_SUCCESS;
    for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
        const std::wstring name = std::wstring(space) + identity;
        semaphore = ::CreateSemaphoreW(nullptr, 1, 1, name.c_str());
        error = ::GetLastError();
        if (semaphore != nullptr || error != ERROR_ACCESS_DENIED) {
            break;
        }
    }
    if (semaphore == nullptr) {
        m_error = failure(folder, error);
        return;
    }
    const DWORD taken = ::WaitForSingleObject(semaphore, 0);
    if (taken == WAIT_OBJECT_0) {
        m_handle = reinterpret_cast<std::intptr_t>(semaphore);
        m_state = State::Held;
        return;
    }
    const DWORD waitError = ::GetLastError();
    ::CloseHandle(semaphore);
    if (taken == WAIT_TIMEOUT) {
        m_state = State::Busy;
    } else {
        m_error = failure(folder, waitError);
    }
}

RunLock::~RunLock() {
    if (m_handle != -1) {
        const auto semaphore = reinterpret_cast<HANDLE>(m_handle);
        ::ReleaseSemaphore(semaphore, 1, nullptr);
        ::CloseHandle(semaphore);
    }
}

} // namespace pupdate
