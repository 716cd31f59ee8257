#pragma once
// Package files are read in chunks, never whole at once: the settings file and the
// line-mode scripts, which may be as large as their authors made them. A failure to
// open or read is the system's error, as std::system_error naming the file.

#include "utf8_path.h"

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace pupdate {

inline constexpr std::size_t kChunkSize = 64 * 1024;

[[noreturn]] inline void throwFileError(int error, const std::filesystem::path& file,
                                        const char* action) {
    throw std::system_error(error, std::generic_category(),
                            std::string("cannot ") + action + " " + pathToUtf8(file));
}

// Reads up to `size` bytes; fewer only at the end of the file.
inline std::size_t readChunk(std::ifstream& in, const std::filesystem::path& file, char* target,
                             std::size_t size) {
    in.read(target, static_cast<std::streamsize>(size));
    if (in.bad()) {
        throwFileError(errno != 0 ? errno : EIO, file, "read");
    }
    return static_cast<std::size_t>(in.gcount());
}

inline void openForReading(std::ifstream& in, const std::filesystem::path& file) {
    errno = 0;
    in.open(file, std::ios::binary);
    if (!in.is_open()) {
        throwFileError(errno != 0 ? errno : ENOENT, file, "open");
    }
}

} // namespace pupdate
