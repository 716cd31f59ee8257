#pragma once
// An open handle of the system: a descriptor on POSIX systems, a HANDLE on Windows,
// closed when it goes. The copy holds its folders and files by it, the run lock its
// locks. Closing is the platform's (system_handle_posix.cpp, system_handle_win.cpp).

#include <cstdint>
#include <system_error>

namespace pupdate {

class SystemHandle {
public:
    using Native = std::intptr_t;
    SystemHandle() = default;
    explicit SystemHandle(Native native) : m_native(native) {}
    ~SystemHandle() { reset(); }
    SystemHandle(SystemHandle&& other) noexcept : m_native(other.m_native) {
        other.m_native = kNone;
    }
    SystemHandle& operator=(SystemHandle&& other) noexcept {
        if (this != &other) {
            reset();
            m_native = other.m_native;
            other.m_native = kNone;
        }
        return *this;
    }
    SystemHandle(const SystemHandle&) = delete;
    SystemHandle& operator=(const SystemHandle&) = delete;

    Native native() const { return m_native; }
    bool isOpen() const { return m_native != kNone; }
    // Closes it now; false when the close reported an error (a late write error).
    bool close(std::error_code& error);
    void reset();

private:
    static constexpr Native kNone = -1;
    Native m_native = kNone;
};

} // namespace pupdate
