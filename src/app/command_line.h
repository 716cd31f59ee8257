#pragma once
// The two positional arguments: installation folder and database name.

#include <string>
#include <string_view>
#include <vector>

namespace pupdate {

struct CommandLine {
    std::string installFolder; // argument 1
    std::string database;      // argument 2
    bool hasInstallFolder = false;
    bool hasDatabase = false;

    // Both arguments present: the run starts at once without showing the window.
    bool unattended() const { return hasInstallFolder && hasDatabase; }
};

// Splits a raw command line (program name first) the way the Windows start-up code
// does: blanks are bytes 0x01-0x20 outside double quotes, a double quote toggles quoting
// and is removed, an unclosed quote runs to the end, a pair of double quotes at the start
// of an argument is skipped like a blank. Returns every argument, program name included.
std::vector<std::string> splitCommandLine(std::string_view raw);

// The arguments from a raw command line; further arguments are ignored.
CommandLine commandLineFromRaw(std::string_view raw);
// The same rules applied to arguments the shell has already split: an argument that is
// empty or only pairs of double quotes is dropped like a blank, quotes inside an argument
// are removed.
CommandLine commandLineFromArgv(int argc, const char* const* argv);

} // namespace pupdate
