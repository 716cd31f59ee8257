#pragma once
// Paths and the engine's UTF-8 text. A std::filesystem::path made from a narrow string
// takes it in the platform's native narrow encoding, which on Windows is the ANSI code
// page, not UTF-8; so every path made from engine text, and every path shown as engine
// text, goes through these two.

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace pupdate {

inline std::filesystem::path pathFromUtf8(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string pathToUtf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A failure on a path (and another one): "<what>: <the system's reason> [<path>]
// [<other>]", our words first, with the paths as UTF-8.
inline std::string pathFailure(std::string_view what, std::error_code error,
                               const std::filesystem::path& path,
                               const std::filesystem::path* other = nullptr) {
    std::string text(what);
    text += ": " + error.message() + " [" + pathToUtf8(path) + "]";
    if (other != nullptr) {
        text += " [" + pathToUtf8(*other) + "]";
    }
    return text;
}

} // namespace pupdate
