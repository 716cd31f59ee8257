#pragma once
// Requests from outside to stop the run: SIGINT (Ctrl-C), SIGTERM and SIGHUP on POSIX
// systems; Ctrl-C, Ctrl-Break and the closing of the console window on Windows. The
// first request is only noted: the run sees it at its next statement or file, rolls back
// what it began, removes what it had half written and says so. A second request ends the
// process at once. One implementation per platform (interruption_posix.cpp,
// interruption_win.cpp).

namespace pupdate {

// Starts watching for requests; call once, early in the program.
void watchForInterruption();

// True once a request to stop has come in.
bool interruptionRequested();

// The run has answered the request (rolled back, logged). Where the system ends the
// process soon after the request (the closing of a Windows console), it waits for this,
// for a few seconds at most.
void interruptionAnswered();

} // namespace pupdate
