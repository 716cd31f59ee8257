#pragma once
// The front end a program starts: one of front_end_<kind>.cpp, chosen by CMake for each
// program (the console only; the Qt window with the console beside it; the Windows window).

#include "run_settings.h"

namespace pupdate {

// Runs the program through its front end with the command line already read; returns
// the process exit status. `argc` and `argv` are the process's own, for a front end whose
// toolkit takes its options from them.
int runFrontEnd(int& argc, char** argv, const CommandLine& commandLine);

} // namespace pupdate
