#pragma once
// What must not happen twice at once: two runs upgrading one database, or copying into
// one installation folder. A run takes a lock for each of these (its keys) before it
// connects and holds them to its end; a second run that finds any of them taken, started
// meanwhile by this or another process of any user, does nothing. Runs of one package
// for two different products do not meet.
//
// The locks are named from their keys (hashed) in the system's lock folder, so that they
// do not depend on what the package folder lets a user do. They belong to open handles,
// not to what a file holds: a process that ends, however it ends, leaves nothing taken.
// One implementation per platform (run_lock_posix.cpp: flock on files in /run/lock, else
// in the temporary folder; run_lock_win.cpp: named semaphores).

#include "system_handle.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pupdate {

class RunLock {
public:
    enum class State {
        Held,        // this run has every key to itself until the object goes
        Busy,        // another run holds a key; none is held
        Unavailable, // a key could not be locked here (see error()); the others are held
    };

    // Tries once, without waiting.
    explicit RunLock(const std::vector<std::string>& keys);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    State state() const { return m_state; }
    // Why a key could not be locked, in the words of the system (Unavailable only).
    const std::string& error() const { return m_error; }

private:
    void releaseAll();

    std::vector<SystemHandle> m_handles;        // the locks held
    std::vector<std::filesystem::path> m_files; // POSIX: the lock files held, by handle
    State m_state = State::Held;
    std::string m_error;
};

// The name of the lock of `key`: "P_Update-" and 16 hexadecimal digits (64-bit FNV-1a of
// the key's bytes).
inline std::string runLockName(std::string_view key) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char byte : key) {
        hash = (hash ^ byte) * 1099511628211ull;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string name = "P_Update-";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name.push_back(kDigits[(hash >> shift) & 0xF]);
    }
    return name;
}

} // namespace pupdate
