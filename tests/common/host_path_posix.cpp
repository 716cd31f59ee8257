#include "host_path.h"
#include "utf8_path.h"

namespace pupdate::testing {

std::string hostPath(const std::filesystem::path& path) {
    return pathToUtf8(path);
}

std::filesystem::path pathFromHost(std::string_view hostPath) {
    return pathFromUtf8(hostPath);
}

} // namespace pupdate::testing
