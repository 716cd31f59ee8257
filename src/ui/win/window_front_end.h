#pragma once
// The Windows window front end, P_Update.exe: the upgrade window, its message boxes and
// progress windows, made of the platform's own controls.

#include "run_settings.h"

namespace pupdate {

// Runs the program with the upgrade window: shown and driven by the operator in
// interactive mode, the program ending when it closes; created but never shown in
// unattended mode, where the run starts at once and its boxes still appear. Returns the
// process exit status.
int runWindowsWindowFrontEnd(const CommandLine& commandLine);

} // namespace pupdate
