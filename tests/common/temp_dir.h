#pragma once
// A fresh folder under the system's temporary folder, removed with everything in it.

#include "utf8_path.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace pupdate::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    // `name` is UTF-8, as every text of the tests.
    std::filesystem::path operator/(std::string_view name) const {
        return m_path / pathFromUtf8(name);
    }

private:
    std::filesystem::path m_path;
};

// Writes bytes exactly as given, creating parent folders.
void writeFile(const std::filesystem::path& file, std::string_view bytes);
// Reads a whole file as bytes; empty when it does not exist.
std::string readFile(const std::filesystem::path& file);
// True when names in `folder` that differ only in letter case are different files (Linux),
// false where they name one file (Windows).
bool tellsLetterCaseApart(const std::filesystem::path& folder);

} // namespace pupdate::testing
