#pragma once
// One run per update package at a time. A run locks the package folder (the program
// folder) from its start to its end; a second run on the same folder, started meanwhile
// by this or another process, finds it locked and does nothing. The lock belongs to an
// open handle of the folder, not to a file in it: nothing is left behind when the
// process ends, however it ends.
//
// It covers one package folder on one machine. Two different package folders used
// against the same database are not kept apart. One implementation per platform
// (run_lock_posix.cpp, run_lock_win.cpp).

#include <cstdint>
#include <filesystem>
#include <string>

namespace pupdate {

class RunLock {
public:
    enum class State {
        Held,        // this run has the package to itself until the object goes
        Busy,        // another run holds the package
        Unavailable, // the folder cannot be locked here (see error()); nobody is kept out
    };

    // Tries once, without waiting.
    explicit RunLock(const std::filesystem::path& folder);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    State state() const { return m_state; }
    // Why the folder could not be locked, in the words of the system (Unavailable only).
    const std::string& error() const { return m_error; }

private:
    std::intptr_t m_handle = -1;
    State m_state = State::Unavailable;
    std::string m_error;
};

} // namespace pupdate
