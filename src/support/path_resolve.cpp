// Case-insensitive path resolution for names taken from the update package.

#include "path_resolve.h"

#include "ascii_case.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

std::vector<std::string_view> splitComponents(std::string_view relative) {
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

// Entries of `folder` whose names equal `name` without regard to ASCII letter case, the
// exact spelling first and the others in name order, so that the choice does not depend
// on the order the file system lists them in.
std::vector<fs::path> caseMatches(const fs::path& folder, std::string_view name) {
    std::vector<fs::path> found;
    std::error_code error;
    const fs::path exact = folder / std::string(name);
    if (fs::exists(fs::symlink_status(exact, error))) {
        found.push_back(exact);
    }
    std::vector<fs::path> others;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string entryName = it->path().filename().string();
        if (entryName != name && equalsIgnoringAsciiCase(entryName, name)) {
            others.push_back(it->path());
        }
    }
    std::sort(others.begin(), others.end());
    found.insert(found.end(), others.begin(), others.end());
    return found;
}

} // namespace

fs::path resolveCaseInsensitive(const fs::path& base, std::string_view relative) {
    fs::path result = base;
    bool onDisk = true;
    for (const std::string_view part : splitComponents(relative)) {
        if (onDisk && part != "..") {
            const std::vector<fs::path> matches = caseMatches(result, part);
            if (!matches.empty()) {
                result = matches.front();
                continue;
            }
            onDisk = false;
        }
        result /= std::string(part);
    }
    return result;
}

bool findFolder(const fs::path& base, std::string_view name, fs::path& found) {
    for (const fs::path& candidate : caseMatches(base, name)) {
        std::error_code error;
        if (fs::is_directory(candidate, error)) {
            found = candidate;
            return true;
        }
    }
    return false;
}

} // namespace pupdate
