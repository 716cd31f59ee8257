#include "paths.h"

#include <system_error>

namespace pupdate {

namespace fs = std::filesystem;

fs::path programFile() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : executable;
}

fs::path programFolder() {
    const fs::path executable = programFile();
    if (executable.empty()) {
        return fs::current_path();
    }
    return executable.parent_path();
}

} // namespace pupdate
