#pragma once
// Text helpers shared by every reader of the package, the command line and connection
// strings: blanks and control characters at the edges of a text, and ASCII letter case.
// Only ASCII letters are folded, so multi-byte text is never touched. And texts for the
// log and the operator that stay readable whatever is wrong with them.

#include "code_page.h"

#include <string>
#include <string_view>

namespace pupdate {

// A blank: any byte from 0x01 to 0x20, the space and every control character.
inline bool isBlank(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x01 && byte <= 0x20;
}

// Trims every byte from 0x01 to 0x20 at both ends.
std::string_view trimBlanks(std::string_view text);

// True when some byte of `text` is not ASCII.
inline bool hasNonAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return true;
        }
    }
    return false;
}

inline char foldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string foldAsciiCase(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        c = foldAscii(c);
    }
    return folded;
}

inline bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// A line for the log with its zero characters shown as <NUL>.
std::string shownLine(std::string_view text);

// A line that is not valid text in `encoding`, readable all the same: every byte outside
// ASCII (or every broken UTF-16 unit) as '?', so the log shows which line it was without
// carrying broken text.
std::string printable(std::string_view raw, TextEncoding encoding);

} // namespace pupdate
