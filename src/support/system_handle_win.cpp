#include "system_handle.h"

#include <windows.h>

namespace pupdate {

bool SystemHandle::close(std::error_code& error) {
    const HANDLE handle = reinterpret_cast<HANDLE>(m_native);
    m_native = kNone;
    if (!::CloseHandle(handle)) {
        error = std::error_code(static_cast<int>(::GetLastError()), std::system_category());
        return false;
    }
    return true;
}

void SystemHandle::reset() {
    if (m_native != kNone) {
        ::CloseHandle(reinterpret_cast<HANDLE>(m_native));
        m_native = kNone;
    }
}

} // namespace pupdate
