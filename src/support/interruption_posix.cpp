// Interruption on POSIX systems: a handler for SIGINT, SIGTERM and SIGHUP that notes the
// first signal in a flag and, at the second, lets the signal end the process as it
// would without the handler.

#include "interruption.h"

#include <atomic>
#include <csignal>

namespace pupdate {

namespace {

std::atomic<bool> g_requested{false};
// Touched from the signal handler: only a lock-free atomic may be.
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterruption(int signalNumber) {
    if (g_requested.exchange(true)) {
        // Only async-signal-safe calls here: the default action, then the signal again.
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
    }
}

} // namespace

void watchForInterruption() {
    struct sigaction action {};
    action.sa_handler = onInterruption;
    sigemptyset(&action.sa_mask);
    // Calls the run is waiting in go on after the handler; the flag is looked at between
    // statements and files.
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signalNumber, &action, nullptr);
    }
}

bool interruptionRequested() {
    return g_requested.load(std::memory_order_relaxed);
}

void interruptionAnswered() {}

} // namespace pupdate
