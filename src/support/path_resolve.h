#pragma once
// File names from the package are matched without regard to letter case, as on the
// file system the packages are prepared on, and '\' separates folders.

#include <filesystem>
#include <string_view>

namespace pupdate {

// Joins `relative` (separators '\' or '/') onto `base` and resolves every component
// case-insensitively (ASCII letters) against what exists on disk. An exact match wins
// over a case-folded one. Components from the first one that does not exist are kept
// as written. "." components are dropped; ".." is kept as written.
std::filesystem::path resolveCaseInsensitive(const std::filesystem::path& base,
                                             std::string_view relative);

// Folder of `name` directly inside `base`, matched case-insensitively; true when it
// exists as a folder and stores its path in `found`.
bool findFolder(const std::filesystem::path& base, std::string_view name,
                std::filesystem::path& found);

} // namespace pupdate
