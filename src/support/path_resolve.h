#pragma once
// File names from the package are matched without regard to letter case, as on the
// file system the packages are prepared on, and '\' separates folders.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pupdate {

// The components of a package name (separators '\' or '/'), without empty and "."
// components; ".." is kept.
std::vector<std::string_view> splitPackagePath(std::string_view relative);

// Resolves package names against what exists on disk, listing each folder at most once:
// a run looks up thousands of script names in one folder, and listing it for every name
// would make the time grow with the number of names times the number of files. What a
// folder held when it was listed is kept until forget(); names that appear later are
// found only when spelt exactly.
class PathResolver {
public:
    // Joins `relative` (separators '\' or '/', UTF-8) onto `base` and resolves every
    // component case-insensitively (ASCII letters) against what exists on disk. An exact
    // match wins over a case-folded one; among folded ones the first in name order wins.
    // Components from the first one that does not exist are kept as written. "."
    // components are dropped; ".." is kept as written.
    std::filesystem::path resolve(const std::filesystem::path& base, std::string_view relative);
    // Folder of `name` directly inside `base`, matched case-insensitively; true when it
    // exists as a folder and stores its path in `found`.
    bool findFolder(const std::filesystem::path& base, std::string_view name,
                    std::filesystem::path& found);
    // Drops every listing, for when the folders may have changed.
    void forget() { m_listings.clear(); }

private:
    // The names of one folder by their case-folded spelling, each group in name order.
    using Listing = std::unordered_map<std::string, std::vector<std::string>>;

    const Listing& listing(const std::filesystem::path& folder);
    std::vector<std::filesystem::path> matches(const std::filesystem::path& folder,
                                               std::string_view name);

    std::unordered_map<std::filesystem::path::string_type, Listing> m_listings;
};

// The regular files below `folder` (in every sub-folder it may read), their paths in the
// spelling on disk, in name order; at most `most` of them.
std::vector<std::filesystem::path> filesBelow(const std::filesystem::path& folder,
                                              std::size_t most = SIZE_MAX);

// The same for a single lookup, listing what it needs afresh.
std::filesystem::path resolveCaseInsensitive(const std::filesystem::path& base,
                                             std::string_view relative);
bool findFolder(const std::filesystem::path& base, std::string_view name,
                std::filesystem::path& found);

} // namespace pupdate
