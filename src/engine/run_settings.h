#pragma once
// What a run is given: the settings of the upgrade window, and the command line the
// front ends fill them from.

#include <string>

namespace pupdate {

// What the operator set (or the command line gave) for one run.
struct RunSettings {
    std::string server = "(local)"; // E_Server
    std::string database;           // E_db
    std::string installFolder;      // E_Position, used exactly as typed
};

// The two positional arguments of the command line: installation folder and database
// name (command_line.h in src/app reads them).
struct CommandLine {
    std::string installFolder; // argument 1
    std::string database;      // argument 2
    bool hasInstallFolder = false;
    bool hasDatabase = false;

    // Both arguments present: the run starts at once without showing the window.
    bool unattended() const { return hasInstallFolder && hasDatabase; }
};

} // namespace pupdate
