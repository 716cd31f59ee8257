// Interruption on Windows: a console control handler. The system calls it on a thread of
// its own. Ctrl-C and Ctrl-Break are noted; when the console window is closed the system
// ends the process as soon as the handler returns, so the handler waits there until the
// run has answered (rolled back and logged), for a few seconds at most. A second request
// ends the process at once.

#include "interruption.h"

#include <atomic>
#include <windows.h>

namespace pupdate {

namespace {

std::atomic<bool> g_requested{false};
HANDLE g_answered = nullptr; // an event set by interruptionAnswered

BOOL WINAPI onControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    if (g_requested.exchange(true)) {
        ::ExitProcess(1);
    }
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && g_answered != nullptr) {
        // The system allows about five seconds before it ends the process anyway.
        ::WaitForSingleObject(g_answered, 4500);
    }
    return TRUE;
}

} // namespace

void watchForInterruption() {
    if (g_answered == nullptr) {
        g_answered = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

bool interruptionRequested() {
    return g_requested.load(std::memory_order_relaxed);
}

void interruptionAnswered() {
    if (g_answered != nullptr) {
        ::SetEvent(g_answered);
    }
}

} // namespace pupdate
