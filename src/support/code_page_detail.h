#pragma once
// Pieces shared by the code-page conversions (code_page.cpp and the platform's GBK
// converter, code_page_posix.cpp or code_page_win.cpp). Not for use elsewhere.

#include "code_page.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace pupdate::detail {

// Number of leading bytes (in steps of eight) that are plain ASCII.
inline std::size_t asciiPrefix(const unsigned char* data, std::size_t size) {
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
inline std::size_t decodeUtf8(const unsigned char* data, std::size_t size, char32_t& codePoint) {
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

inline void appendUtf8(std::string& out, char32_t codePoint) {
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

// Classes of characters by how plausible they are in package text (see
// code_page_plausibility.cpp).
enum class CharacterClass : std::uint8_t {
    NotText, // no GBK character has this code
    AsciiOther,
    AsciiLetter,
    AsciiDigit,
    Hanzi1,
    Hanzi2,
    HanziGbk,
    HanziRare,
    CjkPunctuation,
    FullWidth,
    Kana,
    LatinLetter,
    LatinExtended,
    Currency,
    UnitSign,
    Symbol,
    OddSymbol,
    Greek,
    Cyrillic,
    ForeignScript,
    Rare,
};
inline constexpr std::size_t kCharacterClasses = 21;

constexpr bool isAscii(std::uint8_t characterClass) {
    return characterClass >= static_cast<std::uint8_t>(CharacterClass::AsciiOther) &&
           characterClass <= static_cast<std::uint8_t>(CharacterClass::AsciiDigit);
}
constexpr std::uint8_t asciiClass(unsigned char byte) {
    const unsigned char lower = byte | 0x20;
    return static_cast<std::uint8_t>(lower >= 'a' && lower <= 'z' ? CharacterClass::AsciiLetter
                                     : byte >= '0' && byte <= '9' ? CharacterClass::AsciiDigit
                                                                  : CharacterClass::AsciiOther);
}

// GBK double-byte codes: lead bytes 81-FE, trail bytes 40-FE.
inline constexpr std::size_t kGbkTrails = 0xFF - 0x40;
inline std::size_t gbkIndex(unsigned lead, unsigned trail) {
    return (lead - 0x81) * kGbkTrails + (trail - 0x40);
}

struct Plausibility {
    // The class of every GBK double-byte code; NotText where gbkToUtf8 refuses the code.
    std::array<std::uint8_t, 126 * kGbkTrails> gbk;
    // The class of every code point of the Basic Multilingual Plane.
    std::array<std::uint8_t, 0x10000> basic;
    // What a character of class [after] costs after one of class [before].
    std::array<std::array<std::uint16_t, kCharacterClasses>, kCharacterClasses> cost;
};
// Built on first use from the GBK decoder and the tables of classes and costs.
const Plausibility& plausibility();
CharacterClass supplementaryClass(char32_t codePoint);

inline std::uint8_t classOf(const Plausibility& tables, char32_t codePoint) {
    return codePoint < 0x10000 ? tables.basic[codePoint]
                               : static_cast<std::uint8_t>(supplementaryClass(codePoint));
}

inline std::string hexByte(unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[byte >> 4] + digits[byte & 0x0F];
}

// The error for GBK text that is not valid at `offset`: a lead byte at the very end, or
// a byte pair that is no character. Both platforms report it alike.
[[noreturn]] inline void throwInvalidGbk(std::string_view gbk, std::size_t offset) {
    const auto* data = reinterpret_cast<const unsigned char*>(gbk.data());
    if (offset + 1 >= gbk.size()) {
        throw CodePageError("GBK text ends inside a double-byte character (byte " +
                            hexByte(data[offset]) + " at offset " + std::to_string(offset) + ")");
    }
    throw CodePageError("invalid GBK byte sequence " + hexByte(data[offset]) + " " +
                        hexByte(data[offset + 1]) + " at offset " + std::to_string(offset));
}

} // namespace pupdate::detail
