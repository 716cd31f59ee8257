// The run lock on Windows: a named semaphore of one count for each key, taken without
// waiting. The key is taken without regard to letter case, as Windows names files. A
// semaphore goes when its last handle closes, which the system does when the process
// ends, however it ends; a second lock in the same process finds it taken, as with the
// POSIX lock.

#include "code_page.h"
#include "run_lock.h"

#include <system_error>
#include <windows.h>

namespace pupdate {

namespace {

std::string failure(const std::wstring& name, DWORD error) {
    const std::u16string wide(name.begin(), name.end());
    return "cannot take the run lock: " +
           std::error_code(static_cast<int>(error), std::system_category()).message() + " [" +
           utf16ToUtf8(wide) + "]";
}

// The key in upper case, letter by letter as the file system compares names.
std::string foldedKey(const std::string& key) {
    std::u16string text;
    try {
        text = utf8ToUtf16(key);
    } catch (const CodePageError&) {
        return key; // not text: taken byte for byte
    }
    std::wstring wide(text.begin(), text.end());
    if (!wide.empty()) {
        ::CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    }
    return utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

} // namespace

RunLock::RunLock(const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
        const std::string name = runLockName(foldedKey(key));
        const std::wstring identity(name.begin(), name.end());
        // Every session of the machine first; a process that may not make global names
        // keeps to its own session.
        HANDLE semaphore = nullptr;
        DWORD error = ERROR_SUCCESS;
        std::wstring full;
        for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
            full = std::wstring(space) + identity;
            semaphore = ::CreateSemaphoreW(nullptr, 1, 1, full.c_str());
            error = ::GetLastError();
            if (semaphore != nullptr || error != ERROR_ACCESS_DENIED) {
                break;
            }
        }
        if (semaphore == nullptr) {
            m_state = State::Unavailable;
            m_error = failure(full, error);
            continue;
        }
        const DWORD taken = ::WaitForSingleObject(semaphore, 0);
        if (taken == WAIT_OBJECT_0) {
            m_handles.emplace_back(reinterpret_cast<SystemHandle::Native>(semaphore));
            continue;
        }
        const DWORD waitError = ::GetLastError();
        ::CloseHandle(semaphore);
        if (taken == WAIT_TIMEOUT) {
            releaseAll();
            m_state = State::Busy;
            m_error.clear();
            return;
        }
        m_state = State::Unavailable;
        m_error = failure(full, waitError);
    }
}

RunLock::~RunLock() {
    releaseAll();
}

void RunLock::releaseAll() {
    for (SystemHandle& semaphore : m_handles) {
        ::ReleaseSemaphore(reinterpret_cast<HANDLE>(semaphore.native()), 1, nullptr);
        semaphore.reset();
    }
    m_handles.clear();
}

} // namespace pupdate
