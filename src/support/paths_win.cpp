#include "paths.h"

#include <string>
#include <windows.h>

namespace pupdate {

namespace fs = std::filesystem;

fs::path programFile() {
    // The module's full name in UTF-16, whatever its length: the buffer grows until the
    // name fits.
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) {
            return fs::path();
        }
        if (length < name.size()) {
            name.resize(length);
            return fs::path(name);
        }
        name.resize(name.size() * 2);
    }
}

fs::path programFolder() {
    const fs::path executable = programFile();
    if (executable.empty()) {
        return fs::current_path();
    }
    return executable.parent_path();
}

} // namespace pupdate
