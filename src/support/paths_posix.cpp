#include "paths.h"

#include <system_error>

namespace pupdate {

namespace fs = std::filesystem;

fs::path programFolder() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return fs::current_path();
    }
    return executable.parent_path();
}

} // namespace pupdate
