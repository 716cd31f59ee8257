#pragma once
// ReException.Log: the lasting record of every error the upgrade survives.

#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace pupdate {

inline constexpr std::string_view kExceptionLogName = "ReException.Log";

// Raised when the log cannot be created, opened or written.
class LogWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Appends `textUtf8` converted to GBK, then CR LF, to ReException.Log in `folder`,
// creating the file when missing. Characters GBK cannot hold become '?'.
void WriteExceptionLog(const std::filesystem::path& folder, std::string_view textUtf8);

} // namespace pupdate
