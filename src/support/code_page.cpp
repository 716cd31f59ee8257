// Code-page conversions.
//
// GBK goes through glibc's iconv under the name "GBK". That converter is strict: it
// rejects lead bytes without a valid trail byte, 0xFF, and a character cut off at the end
// of the input, and it maps the single byte 0x80 to the euro sign, as code page 936 does.
// "GB18030" would be wrong here: it accepts four-byte sequences that are malformed GBK and
// maps some two-byte codes differently. glibc's "GBK" leaves the three user-defined areas
// of code page 936 unmapped, so they are mapped here by hand to the private-use characters
// U+E000-U+E765 exactly as code page 936 maps them; this way a script line holding such a
// character still reaches the database unchanged.
//
// UTF-8 and UTF-16 are converted by hand: the conversion runs for every statement sent to
// the database, and the ASCII fast path keeps it cheap.

#include "code_page.h"

#include <bitset>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>

namespace pupdate {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Number of leading bytes (in steps of eight) that are plain ASCII.
std::size_t asciiPrefix(const unsigned char* data, std::size_t size) {
    std::size_t i = 0;
    while (i + 8 <= size) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) {
            break;
        }
        i += 8;
    }
    while (i < size && data[i] < 0x80) {
        ++i;
    }
    return i;
}

// Decodes one UTF-8 character at data[0..size). Returns its length, or 0 when the bytes
// there are not a well-formed character.
std::size_t decodeUtf8(const unsigned char* data, std::size_t size, char32_t& codePoint) {
    const unsigned char lead = data[0];
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length;
    char32_t value;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0; // no overlongs
        } else if (lead == 0xED) {
            high = 0x9F; // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F; // at most U+10FFFF
        }
    } else {
        return 0;
    }
    if (size < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = data[i];
        if (i == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    codePoint = value;
    return length;
}

void appendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::string hexByte(unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[byte >> 4] + digits[byte & 0x0F];
}

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

} // namespace

bool isValidUtf8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        i += asciiPrefix(data + i, size - i);
        if (i >= size) {
            break;
        }
        char32_t codePoint;
        const std::size_t length = decodeUtf8(data + i, size - i, codePoint);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

bool isPlainAscii(std::string_view bytes) {
    return asciiPrefix(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) ==
           bytes.size();
}

bool startsWithUtf8Bom(std::string_view bytes) {
    return bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

namespace {

// Characters of plain Chinese text: ASCII, CJK ideographs, CJK and full-width
// punctuation, and the punctuation marks of GB2312 that lie outside those blocks.
bool isChineseTextCharacter(char32_t c) {
    if (c < 0x80) {
        return true;
    }
    switch (c) {
    case 0x00B7: // ·
    case 0x2014: // —
    case 0x2016: // ‖
    case 0x2018: // ‘
    case 0x2019: // ’
    case 0x201C: // “
    case 0x201D: // ”
    case 0x2026: // …
    case 0x2030: // ‰
    case 0x2032: // ′
    case 0x2033: // ″
    case 0x203B: // ※
        return true;
    default:
        break;
    }
    return (c >= 0x3000 && c <= 0x303F) || // CJK symbols and punctuation
           (c >= 0x3400 && c <= 0x4DBF) || // CJK ideographs, extension A
           (c >= 0x4E00 && c <= 0x9FFF) || // CJK unified ideographs
           (c >= 0xF900 && c <= 0xFAFF) || // CJK compatibility ideographs
           (c >= 0xFE30 && c <= 0xFE4F) || // CJK compatibility forms
           (c >= 0xFF00 && c <= 0xFFEF) || // half-width and full-width forms
           (c >= 0x20000 && c <= 0x323AF); // CJK ideographs, extensions B to H
}

} // namespace

void Utf8Validator::feed(std::string_view piece) {
    if (!m_valid) {
        return;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(piece.data());
    const std::size_t size = piece.size();
    std::size_t i = 0;
    while (i < size) {
        if (m_pending == 0) {
            const std::size_t ascii = asciiPrefix(data + i, size - i);
            i += ascii;
            if (i >= size) {
                break;
            }
            const unsigned char lead = data[i++];
            m_sawNonAscii = true;
            if (lead >= 0xC2 && lead <= 0xDF) {
                m_pending = 1;
                m_value = lead & 0x1F;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                m_pending = 2;
                m_value = lead & 0x0F;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                m_pending = 3;
                m_value = lead & 0x07;
            } else {
                m_valid = false;
                return;
            }
            m_lead = lead;
            m_seen = 0;
            continue;
        }
        const unsigned char next = data[i++];
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (m_seen == 0) {
            if (m_lead == 0xE0) {
                low = 0xA0;
            } else if (m_lead == 0xED) {
                high = 0x9F;
            } else if (m_lead == 0xF0) {
                low = 0x90;
            } else if (m_lead == 0xF4) {
                high = 0x8F;
            }
        }
        if (next < low || next > high) {
            m_valid = false;
            return;
        }
        m_value = (m_value << 6) | (next & 0x3F);
        ++m_seen;
        if (--m_pending == 0 && m_onlyChineseText) {
            m_onlyChineseText = isChineseTextCharacter(m_value);
        }
    }
}

bool Utf8Validator::finish() {
    if (m_pending != 0) {
        m_valid = false;
    }
    return m_valid;
}

namespace {

constexpr unsigned kGbkLeadFirst = 0x81;
constexpr unsigned kGbkTrailFirst = 0x40;
constexpr unsigned kGbkTrails = 0xFF - kGbkTrailFirst; // trail bytes 40..FE

// The double-byte codes that gbkToUtf8 accepts, found once by asking it, so that the
// validator can never disagree with the decoder.
const std::bitset<126 * kGbkTrails>& gbkCharacters() {
    static const std::bitset<126 * kGbkTrails> characters = [] {
        std::bitset<126 * kGbkTrails> accepted;
        for (unsigned lead = kGbkLeadFirst; lead <= 0xFE; ++lead) {
            for (unsigned trail = kGbkTrailFirst; trail <= 0xFE; ++trail) {
                const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
                try {
                    gbkToUtf8(std::string_view(pair, 2));
                    accepted.set((lead - kGbkLeadFirst) * kGbkTrails + (trail - kGbkTrailFirst));
                } catch (const CodePageError&) {
                }
            }
        }
        return accepted;
    }();
    return characters;
}

bool isGbkCharacter(unsigned lead, unsigned trail) {
    if (trail < kGbkTrailFirst || trail > 0xFE) {
        return false;
    }
    return gbkCharacters().test((lead - kGbkLeadFirst) * kGbkTrails + (trail - kGbkTrailFirst));
}

bool isUserDefinedGbk(unsigned lead, unsigned trail) {
    return (trail >= 0xA1 && ((lead >= 0xAA && lead <= 0xAF) || lead >= 0xF8)) ||
           (lead >= 0xA1 && lead <= 0xA7 && trail <= 0xA0);
}

} // namespace

void GbkValidator::feed(std::string_view piece) {
    const auto* data = reinterpret_cast<const unsigned char*>(piece.data());
    const std::size_t size = piece.size();
    std::size_t i = 0;
    while (m_valid && i < size) {
        if (m_lead < 0) {
            i += asciiPrefix(data + i, size - i);
            if (i >= size) {
                break;
            }
            const unsigned char byte = data[i++];
            if (byte == 0x80) {
                m_beyondGb2312 = true; // the euro sign, a single byte
            } else if (byte == 0xFF) {
                m_valid = false;
            } else {
                m_lead = byte;
            }
            continue;
        }
        const auto lead = static_cast<unsigned>(m_lead);
        const unsigned trail = data[i++];
        m_lead = -1;
        if (!isGbkCharacter(lead, trail)) {
            m_valid = false;
        } else if (lead < 0xA1 || trail < 0xA1 || isUserDefinedGbk(lead, trail)) {
            m_beyondGb2312 = true;
        }
    }
}

bool GbkValidator::finish() {
    if (m_lead >= 0) {
        m_valid = false;
    }
    return m_valid;
}

void EncodingDetector::feed(std::string_view piece) {
    // Text that is not UTF-8 is GBK whatever else it is, so once the UTF-8 reading has
    // failed (as a rule at the first Chinese character of a GBK file) nothing more is
    // looked at; GBK is checked only while the text is still UTF-8.
    if (!m_utf8.valid()) {
        return;
    }
    m_utf8.feed(piece);
    if (m_utf8.valid()) {
        m_gbk.feed(piece);
    }
}

TextEncoding EncodingDetector::finish() {
    if (!m_utf8.finish() || !m_utf8.sawNonAscii()) {
        return TextEncoding::Gbk;
    }
    if (!m_gbk.finish()) {
        return TextEncoding::Utf8;
    }
    return m_gbk.beyondGb2312() && m_utf8.onlyChineseText() ? TextEncoding::Utf8
                                                            : TextEncoding::Gbk;
}

std::optional<ByteOrderMark> byteOrderMark(std::string_view start) {
    if (startsWithUtf8Bom(start)) {
        return ByteOrderMark{TextEncoding::Utf8, 3};
    }
    if (start.size() >= 2 && start.compare(0, 2, "\xFF\xFE") == 0) {
        return ByteOrderMark{TextEncoding::Utf16Le, 2};
    }
    if (start.size() >= 2 && start.compare(0, 2, "\xFE\xFF") == 0) {
        return ByteOrderMark{TextEncoding::Utf16Be, 2};
    }
    return std::nullopt;
}

TextEncoding detectPackageEncoding(std::string_view bytes) {
    if (const auto mark = byteOrderMark(bytes)) {
        return mark->encoding;
    }
    EncodingDetector detector;
    detector.feed(bytes);
    return detector.finish();
}

const char* encodingName(TextEncoding encoding) {
    switch (encoding) {
    case TextEncoding::Utf8:
        return "UTF-8";
    case TextEncoding::Gbk:
        return "GBK";
    case TextEncoding::Utf16Le:
        return "UTF-16LE";
    case TextEncoding::Utf16Be:
        return "UTF-16BE";
    }
    return "?";
}

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
        if (step.error == EINVAL || offset + 1 >= gbk.size()) {
            throw CodePageError("GBK text ends inside a double-byte character (byte " +
                                hexByte(data[offset]) + " at offset " + std::to_string(offset) +
                                ")");
        }
        throw CodePageError("invalid GBK byte sequence " + hexByte(data[offset]) + " " +
                            hexByte(data[offset + 1]) + " at offset " + std::to_string(offset));
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
        const Converter::Step step = gbkEncoder().convert(utf8.substr(offset), out);
        offset += step.consumed;
        if (step.error == 0) {
            break;
        }
        // The converter stopped at a character GBK has no code for, or at malformed input.
        char32_t codePoint;
        const std::size_t length = decodeUtf8(data + offset, utf8.size() - offset, codePoint);
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
    return out;
}

namespace {

// Strict UTF-16 to UTF-8: a byte left over or an unpaired surrogate raises.
std::string decodeUtf16(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) {
        throw CodePageError("UTF-16 text ends inside a code unit");
    }
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t units = bytes.size() / 2;
    auto unitAt = [&](std::size_t i) -> char32_t {
        return bigEndian ? (data[2 * i] << 8 | data[2 * i + 1])
                         : (data[2 * i] | data[2 * i + 1] << 8);
    };
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < units; ++i) {
        char32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units && unitAt(i + 1) >= 0xDC00 &&
            unitAt(i + 1) <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            throw CodePageError("unpaired UTF-16 surrogate at unit " + std::to_string(i));
        }
        appendUtf8(out, unit);
    }
    return out;
}

} // namespace

std::string decodeLine(std::string_view bytes, TextEncoding encoding) {
    switch (encoding) {
    case TextEncoding::Gbk:
        return gbkToUtf8(bytes);
    case TextEncoding::Utf16Le:
    case TextEncoding::Utf16Be:
        return decodeUtf16(bytes, encoding == TextEncoding::Utf16Be);
    case TextEncoding::Utf8:
        break;
    }
    if (!isValidUtf8(bytes)) {
        throw CodePageError("invalid UTF-8 byte sequence");
    }
    return std::string(bytes);
}

std::u16string utf8ToUtf16(std::string_view utf8) {
    const auto* data = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t size = utf8.size();
    std::u16string out;
    out.resize(size); // never more UTF-16 units than UTF-8 bytes
    char16_t* target = out.data();
    std::size_t i = 0;
    while (i < size) {
        if (data[i] < 0x80) {
            *target++ = data[i++];
            continue;
        }
        char32_t codePoint;
        const std::size_t length = decodeUtf8(data + i, size - i, codePoint);
        if (length == 0) {
            throw CodePageError("invalid UTF-8 byte " + hexByte(data[i]) + " at offset " +
                                std::to_string(i));
        }
        i += length;
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            *target++ = static_cast<char16_t>(0xD800 + (codePoint >> 10));
            *target++ = static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
        } else {
            *target++ = static_cast<char16_t>(codePoint);
        }
    }
    out.resize(static_cast<std::size_t>(target - out.data()));
    return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    const std::size_t size = utf16.size();
    for (std::size_t i = 0; i < size; ++i) {
        const char16_t unit = utf16[i];
        if (unit < 0x80) {
            out.push_back(static_cast<char>(unit));
            continue;
        }
        char32_t codePoint = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 < size && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
                codePoint = 0x10000 + ((unit - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
                ++i;
            } else {
                codePoint = kReplacement;
            }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            codePoint = kReplacement;
        }
        appendUtf8(out, codePoint);
    }
    return out;
}

} // namespace pupdate
