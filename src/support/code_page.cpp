// Code-page conversions.
//
// GBK is converted by the platform (code_page_posix.cpp or code_page_win.cpp); both accept
// exactly the same byte sequences.
//
// UTF-8 and UTF-16 are converted by hand: the conversion runs for every statement sent to
// the database, and the ASCII fast path keeps it cheap.

#include "code_page.h"

#include "code_page_detail.h"

#include <bitset>

namespace pupdate {

using detail::appendUtf8;
using detail::asciiPrefix;
using detail::decodeUtf8;
using detail::hexByte;

namespace {

constexpr char32_t kReplacement = 0xFFFD;

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

namespace {

// Strict UTF-16 to UTF-8: a byte left over or an unpaired surrogate raises.
std::string decodeUtf16(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) {
        throw CodePageError("UTF-16 text ends inside a code unit");
    }
    const std::size_t units = bytes.size() / 2;
    auto unitAt = [&](std::size_t i) -> char32_t {
        return utf16Unit(bytes.data() + 2 * i, bigEndian);
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
