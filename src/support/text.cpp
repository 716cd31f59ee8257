#include "text.h"

namespace pupdate {

std::string_view trimBlanks(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::string shownLine(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        if (c == '\0') {
            shown += "<NUL>";
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}

std::string printable(std::string_view raw, TextEncoding encoding) {
    if (encoding == TextEncoding::Utf16Le || encoding == TextEncoding::Utf16Be) {
        std::u16string units(raw.size() / 2, u'\0');
        for (std::size_t i = 0; i < units.size(); ++i) {
            units[i] = utf16Unit(raw.data() + 2 * i, encoding == TextEncoding::Utf16Be);
        }
        std::string shown = shownLine(utf16ToUtf8(units));
        if (raw.size() % 2 != 0) {
            shown.push_back('?');
        }
        return shown;
    }
    std::string shown(raw);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            c = '?';
        }
    }
    return shownLine(shown);
}

} // namespace pupdate
