#pragma once
// What the program-file copy would do with the package's files, decided by the copy's own
// rules without writing anything: for a look at a package before it reaches an
// installation.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pupdate {

struct CopyPlanItem {
    enum class Action {
        New,     // the installation has no file of that name
        Replace, // an installed file is replaced (letter case of its name kept)
        Skip,    // the copy would leave it and log why
    };
    Action action = Action::New;
    std::filesystem::path from; // in UpdatePro; empty for a skip
    std::filesystem::path to;   // in the installation folder; empty for a skip
    std::uint64_t bytes = 0;    // the size of the package's file
    std::string reason;         // for a skip: the record the copy would write to the log
};

struct CopyPlan {
    std::vector<CopyPlanItem> items;
    std::vector<std::string> notices; // what the copy would note besides (a link replaced)
};

} // namespace pupdate
