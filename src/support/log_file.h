#pragma once
// A log file appended to the platform's way: bytes as given, no line-end translation.

#include <filesystem>
#include <string_view>

namespace pupdate {

// Appends `bytes` to `file`, creating it when missing; the file is opened for this one
// record and closed again. Raises LogWriteError naming the step that failed.
void appendToLogFile(const std::filesystem::path& file, std::string_view bytes);

} // namespace pupdate
