#pragma once
// Paths as the database drivers see them. Under Wine the Windows test programs reach the
// host's ODBC drivers (Wine's odbc32 hands calls to unixODBC), which open files by their
// Unix names; on Linux and on a real Windows machine a path is the same for both.

#include <filesystem>
#include <string>
#include <string_view>

namespace pupdate::testing {

// `path` as a driver opens it (UTF-8).
std::string hostPath(const std::filesystem::path& path);
// A path given by the host (a Unix name under Wine) as this program opens it.
std::filesystem::path pathFromHost(std::string_view hostPath);

} // namespace pupdate::testing
