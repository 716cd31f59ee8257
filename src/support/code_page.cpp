// Code-page conversions.
//
// GBK is converted by the platform (code_page_posix.cpp or code_page_win.cpp); both accept
// exactly the same byte sequences.
//
// UTF-8 and UTF-16 are converted by hand: the conversion runs for every statement sent to
// the database, and the ASCII fast path keeps it cheap.

#include "code_page.h"

#include "code_page_detail.h"

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

using detail::CharacterClass;
using detail::plausibility;

constexpr auto kTextStart = static_cast<std::uint8_t>(CharacterClass::AsciiOther);

// The tables are built when first needed, which a GBK file's UTF-8 reading, failing as a
// rule at its first character, seldom comes to.
inline const detail::Plausibility& tablesOf(const detail::Plausibility*& tables) {
    if (tables == nullptr) {
        tables = &plausibility();
    }
    return *tables;
}

// Adds what a run of ASCII costs after the character before it (ASCII after ASCII costs
// nothing), and makes its last character the one before what follows.
inline void weighAscii(const detail::Plausibility*& tables, const unsigned char* run,
                       std::size_t length, std::uint8_t& previous, std::uint64_t& cost) {
    if (!detail::isAscii(previous)) {
        cost += tablesOf(tables).cost[previous][detail::asciiClass(run[0])];
    }
    previous = detail::asciiClass(run[length - 1]);
}

inline void weigh(const detail::Plausibility& tables, std::uint8_t character,
                  std::uint8_t& previous, std::uint64_t& cost) {
    cost += tables.cost[previous][character];
    previous = character;
}

} // namespace

Utf8Validator::Utf8Validator() : m_previous(kTextStart) {}

void Utf8Validator::feed(std::string_view piece) {
    if (!m_valid) {
        return;
    }
    const detail::Plausibility* tables = nullptr;
    const auto* data = reinterpret_cast<const unsigned char*>(piece.data());
    const std::size_t size = piece.size();
    std::size_t i = 0;
    while (i < size) {
        if (m_pending == 0) {
            const std::size_t ascii = asciiPrefix(data + i, size - i);
            if (ascii > 0) {
                if (m_weighing) {
                    weighAscii(tables, data + i, ascii, m_previous, m_cost);
                }
                i += ascii;
                if (i >= size) {
                    break;
                }
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
        if (--m_pending == 0 && m_weighing) {
            const detail::Plausibility& known = tablesOf(tables);
            weigh(known, detail::classOf(known, m_value), m_previous, m_cost);
        }
    }
}

bool Utf8Validator::finish() {
    if (m_pending != 0) {
        m_valid = false;
    }
    return m_valid;
}

GbkValidator::GbkValidator() : m_previous(kTextStart) {}

void GbkValidator::feed(std::string_view piece) {
    const detail::Plausibility* tables = nullptr;
    constexpr auto kNotText = static_cast<std::uint8_t>(CharacterClass::NotText);
    constexpr auto kEuro = static_cast<std::uint8_t>(CharacterClass::Currency);
    const auto* data = reinterpret_cast<const unsigned char*>(piece.data());
    const std::size_t size = piece.size();
    std::size_t i = 0;
    while (m_valid && i < size) {
        if (m_lead < 0) {
            const std::size_t ascii = asciiPrefix(data + i, size - i);
            if (ascii > 0) {
                weighAscii(tables, data + i, ascii, m_previous, m_cost);
                i += ascii;
                if (i >= size) {
                    break;
                }
            }
            const unsigned char byte = data[i++];
            if (byte == 0x80) {
                weigh(tablesOf(tables), kEuro, m_previous, m_cost); // the euro sign, one byte
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
        const detail::Plausibility& known = tablesOf(tables);
        const std::uint8_t character =
            trail < 0x40 || trail > 0xFE ? kNotText : known.gbk[detail::gbkIndex(lead, trail)];
        if (character == kNotText) {
            m_valid = false;
        } else {
            weigh(known, character, m_previous, m_cost);
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
    // looked at. Once the GBK reading has failed, UTF-8 only needs to stay valid.
    if (!m_utf8.valid()) {
        return;
    }
    m_utf8.feed(piece);
    if (m_utf8.valid() && m_gbk.valid()) {
        m_gbk.feed(piece);
        if (!m_gbk.valid()) {
            m_utf8.stopWeighing();
        }
    }
}

TextEncoding EncodingDetector::finish() {
    using Basis = Decision::Basis;
    m_decision = {};
    if (!m_utf8.finish() || !m_utf8.sawNonAscii()) {
        m_decision.basis = m_utf8.sawNonAscii() ? Basis::OneReading : Basis::Ascii;
        return TextEncoding::Gbk;
    }
    if (!m_gbk.finish()) {
        m_decision.basis = Basis::OneReading;
        return TextEncoding::Utf8;
    }
    m_decision = {Basis::Weighed, m_gbk.cost(), m_utf8.cost()};
    return m_utf8.cost() < m_gbk.cost() ? TextEncoding::Utf8 : TextEncoding::Gbk;
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
