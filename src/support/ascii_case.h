#pragma once
// Letter case of names from the package, the settings file and connection strings:
// only ASCII letters are folded, so multi-byte text is never touched.

#include <string>
#include <string_view>

namespace pupdate {

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

} // namespace pupdate
