// How plausible a character is in package text: the tables the encoding detector weighs
// the GBK and the UTF-8 reading of a file with.
//
// Every character belongs to a class (a hanzi of GB2312 level 1, a Cyrillic letter, a
// currency sign, a private-use character, ...). A character costs what its class costs,
// plus what it costs to come after the class of the character before it: a Cyrillic
// letter after a Cyrillic letter is ordinary, after a hanzi it is odd. Costs are roughly
// bits of surprise for a person writing an HR/salary script in Chinese, so a reading's
// cost is how unlikely that person wrote it. ASCII is the same in both readings and
// costs nothing. A common hanzi costs a little: one of 3,755 is harder to foresee than a
// Cyrillic letter in a Cyrillic name, and the UTF-8 bytes of Иванов read as GBK are
// common hanzi but one. A rarer hanzi costs more than two common ones, so that GBK 閻鸿华
// is not taken for two rare ideographs of its UTF-8 reading.
//
// The hanzi's classes come from the GBK decoder itself: every double-byte code is decoded
// once and its byte range says whether the ideograph is one of GB2312's 3,755 common ones
// (level 1), one of its 3,008 others (level 2) or one GBK adds. An ideograph that GBK
// lacks is rare. Everything else is classed by its Unicode block.

#include "code_page.h"
#include "code_page_detail.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace pupdate::detail {

namespace {

using C = CharacterClass;

// Classes are weighed against their neighbours by group.
enum Group : std::uint8_t {
    GOther,    // ASCII blanks, punctuation, controls; the start of the text
    GLetter,   // ASCII letters
    GDigit,    // ASCII digits
    GHan,      // ideographs
    GCjk,      // CJK and full-width punctuation, full-width letters and digits
    GKana,     // hiragana and katakana
    GLatin,    // Latin letters beyond ASCII
    GCurrency, // currency signs, written before an amount
    GUnit,     // units and degree signs, written after an amount
    GSymbol,   // other symbols
    GGreek,
    GCyrillic,
    GForeign, // letters of other living scripts
    GRare,    // what nobody types into a script
    kGroups
};

// What a class costs, and its group.
struct ClassCost {
    CharacterClass what;
    Group group;
    std::uint16_t cost;
};

constexpr ClassCost kClassCosts[] = {
    {C::NotText, GRare, 0},
    {C::AsciiOther, GOther, 0},
    {C::AsciiLetter, GLetter, 0},
    {C::AsciiDigit, GDigit, 0},
    {C::Hanzi1, GHan, 9},         // GB2312 level 1: the 3,755 most frequent
    {C::Hanzi2, GHan, 13},        // GB2312 level 2
    {C::HanziGbk, GHan, 20},      // GBK beyond GB2312: rare names, traditional forms
    {C::HanziRare, GHan, 24},     // ideographs GBK lacks, radicals
    {C::CjkPunctuation, GCjk, 5}, // 、。，：（）《》“”……
    {C::FullWidth, GCjk, 8},      // ＡＢＣ１２３
    {C::Kana, GKana, 6},
    {C::LatinLetter, GLatin, 5},   // é ü ñ ç ø
    {C::LatinExtended, GLatin, 9}, // ā ř ł š ő, Vietnamese
    {C::Currency, GCurrency, 6},   // ¥ € £ $
    {C::UnitSign, GUnit, 6},       // ° ² ‰ ℃ ㎡ µ ½
    {C::Symbol, GSymbol, 7},       // ± × ÷ § © · ① → ≤ ★ ■
    {C::OddSymbol, GSymbol, 11},   // box drawing, dingbats, technical signs
    {C::Greek, GGreek, 6},
    {C::Cyrillic, GCyrillic, 6},      // the modern alphabet
    {C::ForeignScript, GForeign, 10}, // Hangul, Thai
    {C::Rare, GRare, 24}, // private use, C1 controls, modifiers, combining marks, unassigned
};

constexpr bool inClassOrder() {
    for (std::size_t i = 0; i < std::size(kClassCosts); ++i) {
        if (static_cast<std::size_t>(kClassCosts[i].what) != i) {
            return false;
        }
    }
    return std::size(kClassCosts) == kCharacterClasses;
}
static_assert(inClassOrder(), "kClassCosts lists every class once, in the order of the enum");

// What a character costs beyond its class's own cost after a character of a group: row
// the group before, column the group of the character.
constexpr std::uint8_t kAfterGroup[kGroups][kGroups] = {
    //     Ot Le Di Ha Cj Ka La Cu Un Sy Gr Cy Fo Ra
    /*Ot*/ {0, 0, 0, 1, 2, 6, 5, 2, 4, 3, 6, 6, 8, 8},
    /*Le*/ {0, 0, 0, 4, 3, 8, 1, 6, 2, 4, 8, 9, 10, 8},
    /*Di*/ {0, 0, 0, 2, 2, 8, 8, 8, 1, 2, 6, 9, 10, 8},
    /*Ha*/ {1, 4, 2, 0, 1, 6, 8, 3, 4, 4, 6, 10, 10, 8},
    /*Cj*/ {1, 3, 2, 0, 1, 5, 6, 3, 5, 4, 6, 8, 8, 8},
    /*Ka*/ {2, 8, 6, 3, 2, 0, 10, 8, 8, 6, 10, 10, 10, 8},
    /*La*/ {2, 0, 6, 5, 4, 10, 3, 8, 8, 6, 10, 10, 10, 8},
    /*Cu*/ {6, 6, 0, 6, 5, 10, 10, 8, 8, 6, 10, 10, 10, 8},
    /*Un*/ {1, 2, 6, 2, 1, 10, 8, 8, 4, 4, 10, 10, 10, 8},
    /*Sy*/ {1, 3, 1, 2, 2, 8, 8, 4, 6, 3, 8, 8, 10, 8},
    /*Gr*/ {2, 6, 4, 3, 3, 10, 10, 8, 6, 4, 1, 10, 10, 8},
    /*Cy*/ {2, 8, 6, 8, 4, 10, 10, 8, 8, 6, 10, 1, 10, 8},
    /*Fo*/ {2, 8, 6, 8, 4, 10, 10, 8, 8, 6, 10, 10, 1, 8},
    /*Ra*/ {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
};

// Unicode blocks (and parts of blocks) by class; a later range refines an earlier one.
// Code points of the Basic Multilingual Plane in no range are rare. Ideographs that GBK
// holds are classed afterwards by their GBK code.
struct Range {
    char32_t first;
    char32_t last;
    CharacterClass what;
};

constexpr Range kRanges[] = {
    // 0000-007F: ASCII, by asciiClass
    // 0080-009F: C1 controls, rare
    {0x00A0, 0x00BF, C::Symbol}, // ¡ ¦ § ¨ © ª « ¬ ® ¯ ´ ¶ · ¸ º » ¿
    {0x00A2, 0x00A5, C::Currency},
    {0x00B0, 0x00B0, C::UnitSign}, // °
    {0x00B2, 0x00B3, C::UnitSign}, // ² ³
    {0x00B5, 0x00B5, C::UnitSign}, // µ
    {0x00B9, 0x00B9, C::UnitSign}, // ¹
    {0x00BC, 0x00BE, C::UnitSign}, // ¼ ½ ¾
    {0x00C0, 0x00FF, C::LatinLetter},
    {0x00D7, 0x00D7, C::Symbol}, // ×
    {0x00F7, 0x00F7, C::Symbol}, // ÷
    {0x0100, 0x017F, C::LatinExtended},
    // 0180-024F: Latin Extended-B (African and phonetic letters), rare but for these
    {0x01CD, 0x01DC, C::LatinExtended}, // pinyin ǎ ǐ ǒ ǔ ǖ ǘ ǚ ǜ
    {0x0218, 0x021B, C::LatinExtended}, // Romanian ș ț
    // 0250-036F: IPA, modifier letters, combining marks, rare
    {0x0386, 0x03CE, C::Greek}, // the letters; archaic ones and Coptic are rare
    {0x0400, 0x045F, C::Cyrillic},
    // 0460-1DFF: historic Cyrillic, Armenian, Hebrew, Arabic, Syriac, Thaana, ..., rare
    {0x0E00, 0x0E7F, C::ForeignScript}, // Thai
    {0x1E00, 0x1EFF, C::LatinExtended},
    {0x2010, 0x2027, C::CjkPunctuation}, // ‐ – — ‖ ‘ ’ “ ” • … as Chinese text uses them
    {0x2030, 0x203B, C::Symbol},   // ※ ‹ ›
    {0x2030, 0x2033, C::UnitSign}, // ‰ ‱ ′ ″
    {0x2070, 0x209F, C::UnitSign}, // superscripts and subscripts
    {0x20A0, 0x20CF, C::Currency},
    {0x2100, 0x214F, C::Symbol}, // № ™ ℅
    {0x2103, 0x2103, C::UnitSign},
    {0x2109, 0x2109, C::UnitSign},
    {0x2150, 0x218F, C::Symbol}, // Roman numerals
    {0x2190, 0x22FF, C::Symbol}, // arrows, mathematical operators
    {0x2300, 0x23FF, C::OddSymbol},
    {0x2460, 0x24FF, C::Symbol}, // ① ⑴ ⒈
    {0x2500, 0x259F, C::OddSymbol},
    {0x25A0, 0x26FF, C::Symbol}, // ■ □ ▲ ○ ● ★ ☆ ♀ ♂
    {0x2700, 0x27BF, C::OddSymbol},
    {0x2E80, 0x2FDF, C::HanziRare}, // radicals
    {0x3000, 0x303F, C::CjkPunctuation},
    {0x3040, 0x30FF, C::Kana},
    {0x3100, 0x312F, C::OddSymbol}, // bopomofo
    {0x31F0, 0x31FF, C::Kana},
    {0x3200, 0x32FF, C::Symbol},   // ㈠ ㈱ ㊣
    {0x3300, 0x33FF, C::UnitSign}, // ㎡ ㎏ ㎜ ㏄
    {0x3400, 0x4DBF, C::HanziRare},
    {0x4E00, 0x9FFF, C::HanziRare},
    {0xAC00, 0xD7A3, C::ForeignScript}, // Hangul
    // E000-F8FF: private use, as GBK's user-defined areas decode, rare
    {0xF900, 0xFAFF, C::HanziRare},
    {0xFE30, 0xFE6F, C::OddSymbol},      // vertical and small forms
    {0xFF01, 0xFF5E, C::CjkPunctuation}, // ！（），：；？
    {0xFF10, 0xFF19, C::FullWidth},
    {0xFF21, 0xFF3A, C::FullWidth},
    {0xFF41, 0xFF5A, C::FullWidth},
    {0xFF61, 0xFF9F, C::Kana}, // half-width katakana
    {0xFFE0, 0xFFE6, C::CjkPunctuation},
    {0xFFE0, 0xFFE1, C::Currency},
    {0xFFE5, 0xFFE6, C::Currency},
};

constexpr unsigned kGbkLeadFirst = 0x81;
constexpr unsigned kGbkTrailFirst = 0x40;

CharacterClass hanziLevel(unsigned lead, unsigned trail) {
    if (lead >= 0xB0 && lead <= 0xD7 && trail >= 0xA1) {
        return C::Hanzi1;
    }
    if (lead >= 0xD8 && lead <= 0xF7 && trail >= 0xA1) {
        return C::Hanzi2;
    }
    return C::HanziGbk;
}

bool isIdeograph(CharacterClass what) {
    return what == C::Hanzi1 || what == C::Hanzi2 || what == C::HanziGbk || what == C::HanziRare;
}

// The code point of the first character of UTF-8 text.
char32_t firstCodePoint(const std::string& utf8) {
    char32_t codePoint = 0;
    decodeUtf8(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(), codePoint);
    return codePoint;
}

std::unique_ptr<Plausibility> buildPlausibility() {
    auto tables = std::make_unique<Plausibility>();
    tables->basic.fill(static_cast<std::uint8_t>(C::Rare));
    for (unsigned byte = 0; byte < 0x80; ++byte) {
        tables->basic[byte] = asciiClass(static_cast<unsigned char>(byte));
    }
    for (const Range& range : kRanges) {
        for (char32_t c = range.first; c <= range.last; ++c) {
            tables->basic[c] = static_cast<std::uint8_t>(range.what);
        }
    }

    // Every GBK code, asked of the decoder: the same characters the validator accepts,
    // and each ideograph's level from where GBK put it.
    tables->gbk.fill(static_cast<std::uint8_t>(C::NotText));
    const auto take = [&tables](unsigned lead, unsigned trail, char32_t codePoint) {
        if (codePoint >= 0x10000) {
            return; // never: every GBK character is in the Basic Multilingual Plane
        }
        auto& basic = tables->basic[codePoint];
        if (isIdeograph(static_cast<C>(basic))) {
            basic = static_cast<std::uint8_t>(hanziLevel(lead, trail));
        }
        tables->gbk[gbkIndex(lead, trail)] = basic;
    };
    // A run of codes at once when the decoder takes it whole (one character a code), else
    // code by code: asking for each of the 24,000 codes alone takes milliseconds. The runs
    // are the two halves of a row around trail byte 7F, and 7F itself.
    const auto askDecoder = [&take](unsigned lead, unsigned firstTrail, unsigned lastTrail) {
        std::string codes;
        for (unsigned trail = firstTrail; trail <= lastTrail; ++trail) {
            codes += static_cast<char>(lead);
            codes += static_cast<char>(trail);
        }
        try {
            const std::string decoded = gbkToUtf8(codes);
            const auto* data = reinterpret_cast<const unsigned char*>(decoded.data());
            std::vector<char32_t> codePoints;
            for (std::size_t i = 0; i < decoded.size();) {
                char32_t codePoint = 0;
                const std::size_t length = decodeUtf8(data + i, decoded.size() - i, codePoint);
                codePoints.push_back(codePoint);
                i += length > 0 ? length : 1;
            }
            if (codePoints.size() == lastTrail - firstTrail + 1) {
                for (unsigned trail = firstTrail; trail <= lastTrail; ++trail) {
                    take(lead, trail, codePoints[trail - firstTrail]);
                }
                return;
            }
        } catch (const CodePageError&) {
        }
        for (unsigned trail = firstTrail; trail <= lastTrail; ++trail) {
            const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
            try {
                take(lead, trail, firstCodePoint(gbkToUtf8(std::string_view(pair, 2))));
            } catch (const CodePageError&) {
            }
        }
    };
    for (unsigned lead = kGbkLeadFirst; lead <= 0xFE; ++lead) {
        askDecoder(lead, kGbkTrailFirst, 0x7E);
        askDecoder(lead, 0x7F, 0x7F);
        askDecoder(lead, 0x80, 0xFE);
    }
    for (std::size_t before = 0; before < kCharacterClasses; ++before) {
        for (std::size_t after = 0; after < kCharacterClasses; ++after) {
            tables->cost[before][after] = static_cast<std::uint16_t>(
                kClassCosts[after].cost +
                kAfterGroup[kClassCosts[before].group][kClassCosts[after].group]);
        }
    }
    return tables;
}

} // namespace

const Plausibility& plausibility() {
    static const std::unique_ptr<Plausibility> tables = buildPlausibility();
    return *tables;
}

CharacterClass supplementaryClass(char32_t codePoint) {
    if (codePoint >= 0x20000 && codePoint <= 0x323AF) {
        return C::HanziRare;
    }
    if (codePoint >= 0x1F300 && codePoint <= 0x1FAFF) {
        return C::OddSymbol; // pictographs and emoji
    }
    return C::Rare;
}

} // namespace pupdate::detail
