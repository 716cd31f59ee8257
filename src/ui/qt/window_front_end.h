#pragma once
// The Qt front end: the upgrade window, its message boxes and progress windows.

#include "run_settings.h"

namespace pupdate {

// Runs the program with the upgrade window: shown and driven by the operator in
// interactive mode; created but never shown in unattended mode, where the run starts at
// once. Returns the process exit status.
int runWindowFrontEnd(int& argc, char** argv, const CommandLine& commandLine);

} // namespace pupdate
