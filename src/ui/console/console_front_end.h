#pragma once
// The console front end: an unattended run in the console, its messages, question and
// progress on the standard streams, its outcome as the exit status.

#include "run_settings.h"

namespace pupdate {

// True when the program is to use the console: asked for with P_UPDATE_UI=console, or
// there is no graphical display to show a window on.
bool consoleChosen();

// With both arguments on the command line, runs the upgrade unattended in the console
// and returns its exit status; without them tells how to run it and returns 1.
int runConsoleFrontEnd(const CommandLine& commandLine);

// For a program built without an upgrade window that was started where one could be
// shown: says so, tells how to run it in the console and returns 1.
int refuseWithoutWindow();

} // namespace pupdate
