#pragma once
// The process's standard streams for the console front end, as UTF-8 text whatever the
// platform's console takes, and whether a window could be shown at all.

#include <istream>
#include <ostream>

namespace pupdate {

struct ConsoleStreams {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool inIsTerminal;  // typed at a terminal, which echoes what is typed
    bool errIsTerminal; // a terminal, where a progress line can be redrawn in place
};

// Makes the standard streams safe before anything is written: output that cannot be
// written (a closed output, a pipe whose reader has gone) is dropped instead of ending
// the program, so the run ends as it would have with a terminal and its exit status says
// what happened to the database. Call first thing in main, before any file is opened.
void protectStandardStreams();

// The standard streams, set up on first use.
ConsoleStreams standardConsole();

// True when there is a graphical display to show the upgrade window on.
bool graphicalDisplay();

} // namespace pupdate
