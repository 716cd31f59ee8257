// Case-insensitive path resolution for names taken from the update package.

#include "path_resolve.h"

#include "text.h"
#include "utf8_path.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace pupdate {

namespace fs = std::filesystem;

std::vector<std::string_view> splitPackagePath(std::string_view relative) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t end = relative.find_first_of("\\/", start);
        const std::size_t stop = end == std::string_view::npos ? relative.size() : end;
        const std::string_view part = relative.substr(start, stop - start);
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return parts;
}

const PathResolver::Listing& PathResolver::listing(const fs::path& folder) {
    auto found = m_listings.find(folder.native());
    if (found != m_listings.end()) {
        return found->second;
    }
    // A folder that cannot be read has no names to fold; exact names are still found.
    Listing names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = pathToUtf8(it->path().filename());
        names[foldAsciiCase(name)].push_back(name);
    }
    for (auto& [folded, spellings] : names) {
        std::sort(spellings.begin(), spellings.end());
    }
    return m_listings.emplace(folder.native(), std::move(names)).first->second;
}

// Entries of `folder` whose names equal `name` without regard to ASCII letter case, the
// exact spelling first and the others in name order, so that the choice does not depend
// on the order the file system lists them in. A name is looked up on disk as spelt, for
// names made after the folder was listed; where the file system ignores letter case
// (Windows) that lookup also finds other spellings, so a name found on disk that the
// listing does not hold as spelt counts as its own only when it is no listed entry.
std::vector<fs::path> PathResolver::matches(const fs::path& folder, std::string_view name) {
    std::vector<fs::path> found;
    const Listing& names = listing(folder);
    const auto group = names.find(foldAsciiCase(name));
    const std::vector<std::string> none;
    const std::vector<std::string>& spellings = group != names.end() ? group->second : none;

    std::error_code error;
    const fs::path exact = folder / pathFromUtf8(name);
    bool exactIsOwn = fs::exists(fs::symlink_status(exact, error));
    if (exactIsOwn && std::find(spellings.begin(), spellings.end(), name) == spellings.end()) {
        for (const std::string& spelling : spellings) {
            if (fs::equivalent(exact, folder / pathFromUtf8(spelling), error)) {
                exactIsOwn = false;
                break;
            }
        }
    }
    if (exactIsOwn) {
        found.push_back(exact);
    }
    for (const std::string& spelling : spellings) {
        if (spelling != name) {
            found.push_back(folder / pathFromUtf8(spelling));
        }
    }
    return found;
}

fs::path PathResolver::resolve(const fs::path& base, std::string_view relative) {
    fs::path result = base;
    bool onDisk = true;
    for (const std::string_view part : splitPackagePath(relative)) {
        if (onDisk && part != "..") {
            const std::vector<fs::path> found = matches(result, part);
            if (!found.empty()) {
                result = found.front();
                continue;
            }
            onDisk = false;
        }
        result /= pathFromUtf8(part);
    }
    return result;
}

bool PathResolver::findFolder(const fs::path& base, std::string_view name, fs::path& found) {
    for (const fs::path& candidate : matches(base, name)) {
        std::error_code error;
        if (fs::is_directory(candidate, error)) {
            found = candidate;
            return true;
        }
    }
    return false;
}

fs::path resolveCaseInsensitive(const fs::path& base, std::string_view relative) {
    return PathResolver().resolve(base, relative);
}

bool findFolder(const fs::path& base, std::string_view name, fs::path& found) {
    return PathResolver().findFolder(base, name, found);
}

std::vector<std::filesystem::path> filesBelow(const std::filesystem::path& folder,
                                              std::size_t most) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator
             it(folder, fs::directory_options::skip_permission_denied, error),
         end;
         !error && it != end && files.size() < most; it.increment(error)) {
        std::error_code kindError;
        if (it->is_regular_file(kindError)) {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace pupdate
