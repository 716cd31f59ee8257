#include "system_handle.h"

#include <cerrno>
#include <unistd.h>

namespace pupdate {

bool SystemHandle::close(std::error_code& error) {
    const int fd = static_cast<int>(m_native);
    m_native = kNone;
    if (::close(fd) != 0) {
        error = std::error_code(errno, std::system_category());
        return false;
    }
    return true;
}

void SystemHandle::reset() {
    if (m_native != kNone) {
        ::close(static_cast<int>(m_native));
        m_native = kNone;
    }
}

} // namespace pupdate
