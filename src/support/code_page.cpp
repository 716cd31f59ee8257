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
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                m_pending = 2;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                m_pending = 3;
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
        ++m_seen;
        --m_pending;
    }
}

bool Utf8Validator::finish() {
    if (m_pending != 0) {
        m_valid = false;
    }
    return m_valid;
}

TextEncoding classifyPackageText(std::string_view bytes) {
    if (startsWithUtf8Bom(bytes)) {
        return TextEncoding::Utf8;
    }
    if (!isPlainAscii(bytes) && isValidUtf8(bytes)) {
        return TextEncoding::Utf8;
    }
    return TextEncoding::Gbk;
}

std::string decodePackageText(std::string_view bytes) {
    if (startsWithUtf8Bom(bytes)) {
        const std::string_view text = bytes.substr(3);
        if (!isValidUtf8(text)) {
            throw CodePageError("text starts with a UTF-8 byte-order mark but is not valid UTF-8");
        }
        return std::string(text);
    }
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    try {
        return gbkToUtf8(bytes);
    } catch (const CodePageError& error) {
        throw CodePageError(std::string("text is neither UTF-8 nor GBK: ") + error.what());
    }
}

std::string decodeLine(std::string_view bytes, TextEncoding encoding) {
    if (encoding == TextEncoding::Gbk) {
        return gbkToUtf8(bytes);
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
