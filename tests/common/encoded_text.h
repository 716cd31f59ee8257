#pragma once
// Text written the ways package authors' editors write it.

#include "code_page.h"

#include <cstddef>
#include <string>

namespace pupdate::testing {

// A string literal with all its bytes, zero bytes included.
template <std::size_t N> std::string allBytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

// UTF-16 code units in the given byte order, after their byte-order mark (Windows
// Notepad's "Unicode" is little-endian).
inline std::string utf16WithMark(const std::string& utf8, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : utf8ToUtf16(utf8)) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

} // namespace pupdate::testing
