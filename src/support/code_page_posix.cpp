// GBK through glibc's iconv under the name "GBK". That converter is strict: it rejects
// lead bytes without a valid trail byte, 0xFF, and a character cut off at the end of the
// input, and it maps the single byte 0x80 to the euro sign, as code page 936 does.
// "GB18030" would be wrong here: it accepts four-byte sequences that are malformed GBK and
// maps some two-byte codes differently. glibc's "GBK" leaves the three user-defined areas
// of code page 936 unmapped, so they are mapped here by hand to the private-use characters
// U+E000-U+E765 exactly as code page 936 maps them; this way a script line holding such a
// character still reaches the database unchanged.

#include "code_page.h"
#include "code_page_detail.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace pupdate {

using detail::appendUtf8;
using detail::asciiPrefix;
using detail::decodeUtf8;

namespace {

// The user-defined areas of code page 936 and their private-use characters:
// AAA1-AFFE -> U+E000, F8A1-FEFE -> U+E234 (94 trail bytes A1-FE each),
// A140-A7A0 -> U+E4C6 (96 trail bytes 40-A0 without 7F each).
bool userDefinedToUnicode(unsigned char lead, unsigned char trail, char32_t& codePoint) {
    if (trail >= 0xA1 && trail <= 0xFE) {
        if (lead >= 0xAA && lead <= 0xAF) {
            codePoint = 0xE000 + (lead - 0xAA) * 94 + (trail - 0xA1);
            return true;
        }
        if (lead >= 0xF8 && lead <= 0xFE) {
            codePoint = 0xE234 + (lead - 0xF8) * 94 + (trail - 0xA1);
            return true;
        }
    }
    if (lead >= 0xA1 && lead <= 0xA7 && trail >= 0x40 && trail <= 0xA0 && trail != 0x7F) {
        codePoint = 0xE4C6 + (lead - 0xA1) * 96 + (trail - 0x40) - (trail > 0x7F ? 1 : 0);
        return true;
    }
    return false;
}

bool unicodeToUserDefined(char32_t codePoint, std::string& out) {
    unsigned lead;
    unsigned trail;
    if (codePoint >= 0xE000 && codePoint < 0xE234) {
        const unsigned index = codePoint - 0xE000;
        lead = 0xAA + index / 94;
        trail = 0xA1 + index % 94;
    } else if (codePoint >= 0xE234 && codePoint < 0xE4C6) {
        const unsigned index = codePoint - 0xE234;
        lead = 0xF8 + index / 94;
        trail = 0xA1 + index % 94;
    } else if (codePoint >= 0xE4C6 && codePoint <= 0xE765) {
        const unsigned index = codePoint - 0xE4C6;
        lead = 0xA1 + index / 96;
        trail = 0x40 + index % 96;
        if (trail >= 0x7F) {
            ++trail;
        }
    } else {
        return false;
    }
    out.push_back(static_cast<char>(lead));
    out.push_back(static_cast<char>(trail));
    return true;
}

// One iconv descriptor per direction and thread, opened on first use.
class Converter {
public:
    Converter(const char* to, const char* from) : m_handle(::iconv_open(to, from)) {
        if (m_handle == reinterpret_cast<iconv_t>(-1)) {
            throw CodePageError(std::string("iconv cannot convert from ") + from + " to " + to +
                                ": " + std::strerror(errno));
        }
    }
    ~Converter() { ::iconv_close(m_handle); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    struct Step {
        std::size_t consumed; // input bytes converted
        int error;            // 0, EILSEQ or EINVAL
    };

    // Converts as much of `in` as possible, appending to `out`; stops at the first byte
    // sequence the converter refuses.
    Step convert(std::string_view in, std::string& out) {
        ::iconv(m_handle, nullptr, nullptr, nullptr, nullptr);
        char* source = const_cast<char*>(in.data());
        std::size_t sourceLeft = in.size();
        char buffer[4096];
        while (sourceLeft > 0) {
            char* target = buffer;
            std::size_t targetLeft = sizeof buffer;
            const std::size_t result =
                ::iconv(m_handle, &source, &sourceLeft, &target, &targetLeft);
            out.append(buffer, static_cast<std::size_t>(target - buffer));
            if (result == static_cast<std::size_t>(-1)) {
                if (errno == E2BIG) {
                    continue;
                }
                const int error = errno;
                return {in.size() - sourceLeft, error};
            }
        }
        return {in.size(), 0};
    }

private:
    iconv_t m_handle;
};

Converter& gbkDecoder() {
    thread_local Converter converter("UTF-8", "GBK");
    return converter;
}

Converter& gbkEncoder() {
    thread_local Converter converter("GBK", "UTF-8");
    return converter;
}

// A tag character in UTF-8: F3 A0 80 80 to F3 A0 81 BF.
constexpr std::size_t kTagCharacterLength = 4;

// Where the next tag character starts at or after `from`; the size of the text when none.
std::size_t nextTagCharacter(std::string_view utf8, std::size_t from) {
    for (std::size_t at = utf8.find('\xF3', from); at != std::string_view::npos;
         at = utf8.find('\xF3', at + 1)) {
        if (at + kTagCharacterLength <= utf8.size() && utf8[at + 1] == '\xA0' &&
            (utf8[at + 2] == '\x80' || utf8[at + 2] == '\x81') &&
            (static_cast<unsigned char>(utf8[at + 3]) & 0xC0) == 0x80) {
            return at;
        }
    }
    return utf8.size();
}

} // namespace

std::string gbkToUtf8(std::string_view gbk) {
    const auto* data = reinterpret_cast<const unsigned char*>(gbk.data());
    if (asciiPrefix(data, gbk.size()) == gbk.size()) {
        return std::string(gbk);
    }
    std::string out;
    out.reserve(gbk.size() + gbk.size() / 2);
    std::size_t offset = 0;
    while (offset < gbk.size()) {
        const Converter::Step step = gbkDecoder().convert(gbk.substr(offset), out);
        offset += step.consumed;
        if (step.error == 0) {
            break;
        }
        char32_t codePoint;
        if (offset + 1 < gbk.size() &&
            userDefinedToUnicode(data[offset], data[offset + 1], codePoint)) {
            appendUtf8(out, codePoint);
            offset += 2;
            continue;
        }
        detail::throwInvalidGbk(gbk, offset);
    }
    return out;
}

std::string utf8ToGbkLossy(std::string_view utf8) {
    const auto* data = reinterpret_cast<const unsigned char*>(utf8.data());
    if (asciiPrefix(data, utf8.size()) == utf8.size()) {
        return std::string(utf8);
    }
    std::string out;
    out.reserve(utf8.size());
    std::size_t offset = 0;
    while (offset < utf8.size()) {
        // glibc's converters drop the tag characters (U+E0000-U+E007F) without a word: the
        // text up to the next one is converted, and the tag is written as '?' like any
        // other character GBK cannot hold.
        const std::size_t end = nextTagCharacter(utf8, offset);
        while (offset < end) {
            const Converter::Step step =
                gbkEncoder().convert(utf8.substr(offset, end - offset), out);
            offset += step.consumed;
            if (step.error == 0) {
                break;
            }
            // The converter stopped at a character GBK has no code for, or at malformed
            // input.
            char32_t codePoint;
            const std::size_t length = decodeUtf8(data + offset, end - offset, codePoint);
            if (length == 0) {
                out.push_back('?');
                ++offset;
                continue;
            }
            if (!unicodeToUserDefined(codePoint, out)) {
                out.push_back('?');
            }
            offset += length;
        }
        if (end < utf8.size()) {
            out.push_back('?');
            offset = end + kTagCharacterLength;
        }
    }
    return out;
}

} // namespace pupdate
