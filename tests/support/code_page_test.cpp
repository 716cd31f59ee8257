// Conversions between GBK, UTF-8 and UTF-16, checked against known code-page values.

#include "code_page.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace pupdate {
namespace {

// "升级完毕！" and "顺序" as code page 936 writes them.
const std::string kDoneGbk = "\xC9\xFD\xBC\xB6\xCD\xEA\xB1\xCF\xA3\xA1";
const std::string kDoneUtf8 = "升级完毕！";
const std::string kOrderGbk = "\xCB\xB3\xD0\xF2";
const std::string kOrderUtf8 = "顺序";

TEST(GbkTest, ChineseRoundTrips) {
    EXPECT_EQ(gbkToUtf8(kDoneGbk), kDoneUtf8);
    EXPECT_EQ(gbkToUtf8(kOrderGbk), kOrderUtf8);
    EXPECT_EQ(utf8ToGbkLossy(kDoneUtf8), kDoneGbk);
    EXPECT_EQ(utf8ToGbkLossy(kOrderUtf8), kOrderGbk);
    const std::string mixed = "insert into t values('" + kOrderGbk + "', 1);\t";
    EXPECT_EQ(utf8ToGbkLossy(gbkToUtf8(mixed)), mixed);
    EXPECT_EQ(gbkToUtf8(""), "");
}

TEST(GbkTest, EuroSignAndUserDefinedAreasFollowCodePage936) {
    EXPECT_EQ(gbkToUtf8("\x80"), "€");
    EXPECT_EQ(utf8ToGbkLossy("€"), "\x80");
    // The three user-defined areas map to private-use characters.
    const std::vector<std::pair<std::string, char32_t>> userDefined = {
        {"\xAA\xA1", 0xE000},        {"\xAF\xFE", 0xE233}, {"\xF8\xA1", 0xE234},
        {"\xFE\xFE", 0xE4C5},        {"\xA1\x40", 0xE4C6}, {"\xA1\x7E", 0xE4C6 + 0x3E},
        {"\xA1\x80", 0xE4C6 + 0x3F}, {"\xA7\xA0", 0xE765}};
    for (const auto& [gbk, codePoint] : userDefined) {
        const std::u16string expected(1, static_cast<char16_t>(codePoint));
        const std::string utf8 = gbkToUtf8(gbk);
        EXPECT_EQ(utf8ToUtf16(utf8), expected) << std::hex << unsigned(codePoint);
        EXPECT_EQ(utf8ToGbkLossy(utf8), gbk) << std::hex << unsigned(codePoint);
    }
}

TEST(GbkTest, MalformedAndTruncatedInputIsRejected) {
    for (const std::string bad : {"\x81\x7F", "\xFF", "ab\x81\x30", "\x81\xFF", "\xA1\x7F"}) {
        EXPECT_THROW(gbkToUtf8(bad), CodePageError) << bad;
    }
    // A lead byte at the very end: the second half of the character is missing.
    EXPECT_THROW(gbkToUtf8(kOrderGbk + "\xCB"), CodePageError);
    EXPECT_THROW(gbkToUtf8("\xCB"), CodePageError);
    try {
        gbkToUtf8("abc\x81\x30");
        FAIL() << "no error";
    } catch (const CodePageError& error) {
        EXPECT_NE(std::string(error.what()).find("offset 3"), std::string::npos) << error.what();
    }
}

// What GBK is, on every platform: the single bytes 00-7F (ASCII) and 80 (the euro sign),
// and every lead byte 81-FE with a trail byte 40-7E or 80-FE, except the codes below,
// which GBK leaves unassigned. (Code page 936 in Windows maps these 255 codes to
// U+E766-U+E864; glibc's GBK rejects them. Both builds must reject them.)
constexpr std::pair<unsigned, unsigned> kUnassignedGbk[] = {
    {0xA2AB, 0xA2B0}, {0xA2E3, 0xA2E4}, {0xA2EF, 0xA2F0}, {0xA2FD, 0xA2FE}, {0xA4F4, 0xA4FE},
    {0xA5F7, 0xA5FE}, {0xA6B9, 0xA6C0}, {0xA6D9, 0xA6DF}, {0xA6EC, 0xA6ED}, {0xA6F3, 0xA6F3},
    {0xA6F6, 0xA6FE}, {0xA7C2, 0xA7D0}, {0xA7F2, 0xA7FE}, {0xA896, 0xA8A0}, {0xA8BC, 0xA8BC},
    {0xA8BF, 0xA8BF}, {0xA8C1, 0xA8C4}, {0xA8EA, 0xA8FE}, {0xA958, 0xA958}, {0xA95B, 0xA95B},
    {0xA95D, 0xA95F}, {0xA989, 0xA995}, {0xA997, 0xA9A3}, {0xA9F0, 0xA9FE}, {0xD7FA, 0xD7FE},
    {0xFE50, 0xFEA0}};

bool inGbkTable(unsigned lead, unsigned trail) {
    if (lead < 0x81 || lead > 0xFE || trail < 0x40 || trail == 0x7F || trail > 0xFE) {
        return false;
    }
    const unsigned code = lead << 8 | trail;
    for (const auto& [first, last] : kUnassignedGbk) {
        if (code >= first && code <= last) {
            return false;
        }
    }
    return true;
}

// The first few disagreements, for the failure message.
struct Disagreements {
    int count = 0;
    std::string first;
    void add(const std::string& bytes, const std::string& what) {
        if (++count <= 10) {
            first += testing::PrintToString(bytes) + " " + what + "\n";
        }
    }
};

TEST(GbkTest, AcceptsExactlyTheTablesCodesAndEachRoundTrips) {
    Disagreements wrong;
    const auto check = [&wrong](const std::string& bytes, bool expected) {
        std::string utf8;
        bool accepted = true;
        try {
            utf8 = gbkToUtf8(bytes);
        } catch (const CodePageError&) {
            accepted = false;
        }
        if (accepted != expected) {
            wrong.add(bytes, expected ? "rejected" : "accepted");
        } else if (accepted && (utf8ToUtf16(utf8).size() != 1 || utf8ToGbkLossy(utf8) != bytes)) {
            wrong.add(bytes, "is not one character that converts back: " + utf8);
        }
    };
    for (unsigned byte = 0; byte <= 0xFF; ++byte) {
        check(std::string(1, static_cast<char>(byte)), byte <= 0x80);
    }
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
        for (unsigned trail = 0; trail <= 0xFF; ++trail) {
            const std::string bytes{static_cast<char>(lead), static_cast<char>(trail)};
            // A trail byte below 0x40 or 0x7F is no part of the lead's character: the pair
            // is rejected whatever that byte would be on its own.
            check(bytes, inGbkTable(lead, trail));
        }
    }
    EXPECT_EQ(wrong.count, 0) << wrong.first;
}

TEST(GbkTest, CharactersOfNoGbkCodeAreWrittenAsQuestionMarks) {
    // U+E766-U+E864 are the unassigned codes' characters in Windows' table, which also
    // writes U+F8F5 as the byte 0xFF; GBK has neither.
    for (const char16_t c : {u'\uE766', u'\uE800', u'\uE864', u'\uF8F5'}) {
        EXPECT_EQ(utf8ToGbkLossy(utf16ToUtf8(std::u16string(1, c))), "?") << unsigned(c);
    }
    EXPECT_EQ(utf8ToGbkLossy(utf16ToUtf8(u"\uE765")), "\xA7\xA0");
}

TEST(GbkTest, LossyEncodingReplacesWhatGbkCannotHold) {
    EXPECT_EQ(utf8ToGbkLossy("a\xF0\x9F\x98\x80"
                             "b"),
              "a?b");
    EXPECT_EQ(utf8ToGbkLossy("한" + kOrderUtf8), "?" + kOrderGbk);
    // Malformed UTF-8 bytes become one '?' each and the rest still converts.
    EXPECT_EQ(utf8ToGbkLossy("x\xFF" + kDoneUtf8 + "\xC3"), "x?" + kDoneGbk + "?");
    EXPECT_EQ(utf8ToGbkLossy("plain"), "plain");
    // Tag characters, which the system's converter would drop, are characters like any other.
    EXPECT_EQ(utf8ToGbkLossy("T\x15\xF3\xA0\x80\xA6" + kDoneUtf8 + "\xF3\xA0\x81\xBF"),
              "T\x15?" + kDoneGbk + "?");
}

struct Utf8Case {
    std::string bytes;
    bool valid;
};

std::vector<Utf8Case> utf8Cases() {
    return {
        {"", true},
        {"ascii only", true},
        {kDoneUtf8, true},
        {"\xF0\x9F\x98\x80", true},  // U+1F600
        {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
        {"\xED\x9F\xBF", true},      // U+D7FF, just below the surrogates
        {"\xC0\x80", false},         // overlong NUL
        {"\xE0\x80\x80", false},     // overlong
        {"\xF0\x80\x80\x80", false}, // overlong
        {"\xED\xA0\x80", false},     // surrogate
        {"\xF4\x90\x80\x80", false}, // beyond U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\x80", false},        // stray continuation
        {"abc\xE9\xA1", false}, // cut at the end
        {"\xE9\xA1"
         "abc",
         false}, // cut in the middle
        {kDoneGbk, false},
        {"longer ascii prefix of sixteen+\xFF", false},
    };
}

TEST(Utf8Test, ValidationAgreesWithTheUtf8Rules) {
    for (const Utf8Case& c : utf8Cases()) {
        EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
    }
}

TEST(Utf8Test, ValidatorFedInPiecesGivesTheSameVerdict) {
    for (const Utf8Case& c : utf8Cases()) {
        for (std::size_t pieceSize : {1u, 2u, 3u, 5u}) {
            Utf8Validator validator;
            for (std::size_t i = 0; i < c.bytes.size(); i += pieceSize) {
                validator.feed(std::string_view(c.bytes).substr(i, pieceSize));
            }
            EXPECT_EQ(validator.finish(), c.valid)
                << testing::PrintToString(c.bytes) << " in pieces of " << pieceSize;
        }
    }
    Utf8Validator ascii;
    ascii.feed("select 1");
    EXPECT_TRUE(ascii.finish());
    EXPECT_FALSE(ascii.sawNonAscii());
    Utf8Validator chinese;
    chinese.feed("x");
    chinese.feed(kOrderUtf8.substr(0, 1));
    chinese.feed(kOrderUtf8.substr(1));
    EXPECT_TRUE(chinese.finish());
    EXPECT_TRUE(chinese.sawNonAscii());
}

struct EncodingCase {
    const char* what;
    std::string bytes;
    TextEncoding expected;
};

TEST(PackageTextTest, EncodingIsDecidedByMarkThenValidityThenPlausibility) {
    const EncodingCase cases[] = {
        {"UTF-8 mark",
         "\xEF\xBB\xBF"
         "plain",
         TextEncoding::Utf8},
        {"UTF-8 mark on GBK bytes", "\xEF\xBB\xBF" + kOrderGbk, TextEncoding::Utf8},
        {"UTF-16LE mark",
         "\xFF\xFE"
         "a\0",
         TextEncoding::Utf16Le},
        {"UTF-16BE mark", "\xFE\xFF\0a", TextEncoding::Utf16Be},
        {"ASCII", "select 1\r\n", TextEncoding::Gbk},
        {"empty", "", TextEncoding::Gbk},
        {"GBK only", kOrderGbk, TextEncoding::Gbk},
        // GBK words whose bytes are also UTF-8: plain GB2312 Chinese stays GBK.
        {"GBK 硕士", "'\xCB\xB6\xCA\xBF'", TextEncoding::Gbk},
        {"GBK 元", "\xD4\xAA", TextEncoding::Gbk},
        {"GBK 女", "sex='\xC5\xAE'", TextEncoding::Gbk},
        {"GBK extension 镕", "\xE9\x46", TextEncoding::Gbk},
        {"UTF-8 only", kOrderUtf8, TextEncoding::Utf8},
        {"UTF-8 镕, no GBK", "朱镕基", TextEncoding::Utf8},
        {"UTF-8 euro, no GBK", "€", TextEncoding::Utf8},
        // Valid in both: the more plausible reading wins.
        {"UTF-8 工资, GBK 宸ヨ祫", "\xE5\xB7\xA5\xE8\xB5\x84", TextEncoding::Utf8},
        {"UTF-8 工资 with punctuation", "'工资'，“元”", TextEncoding::Utf8},
        {"UTF-8 café, GBK caf茅", "caf\xC3\xA9", TextEncoding::Utf8},
        {"UTF-8 À, GBK 脌", "\xC3\x80", TextEncoding::Utf8},
        {"UTF-8 100°C, GBK 100掳C",
         "100\xC2\xB0"
         "C",
         TextEncoding::Utf8},
        {"GBK 閻鸿华, UTF-8 鐺軪", "\xE9\x90\xBA\xE8\xBB\xAA", TextEncoding::Gbk},
        {"GBK 谢谢, UTF-8 лл", "'\xD0\xBB\xD0\xBB'", TextEncoding::Gbk},
        // Both readings cost the same: the package's own encoding wins the tie.
        {"a tie, GBK 漏 or UTF-8 ©", "\xC2\xA9", TextEncoding::Gbk},
        {"neither", "\xFF", TextEncoding::Gbk},
        {"neither, UTF-8 and GBK mixed", kOrderUtf8 + kOrderGbk, TextEncoding::Gbk},
    };
    for (const EncodingCase& c : cases) {
        EXPECT_EQ(detectPackageEncoding(c.bytes), c.expected) << c.what;
        // Fed one byte at a time the detector comes to the same verdict.
        if (!byteOrderMark(c.bytes)) {
            EncodingDetector detector;
            for (const char byte : c.bytes) {
                detector.feed(std::string_view(&byte, 1));
            }
            EXPECT_EQ(detector.finish(), c.expected) << c.what << " in pieces";
        }
    }
}

TEST(PackageTextTest, LinesDecodeInTheirEncoding) {
    EXPECT_EQ(decodeLine(kOrderGbk, TextEncoding::Gbk), kOrderUtf8);
    EXPECT_EQ(decodeLine(kOrderUtf8, TextEncoding::Utf8), kOrderUtf8);
    EXPECT_EQ(decodeLine(std::string("\x7A\x98\x8F\x5E\x3D\xD8\x00\xDE", 8), TextEncoding::Utf16Le),
              "顺序\xF0\x9F\x98\x80");
    EXPECT_EQ(decodeLine(std::string("\x98\x7A\x5E\x8F", 4), TextEncoding::Utf16Be), "顺序");
    EXPECT_THROW(decodeLine(kOrderGbk, TextEncoding::Utf8), CodePageError);
    EXPECT_THROW(decodeLine("\xCB", TextEncoding::Gbk), CodePageError);
    EXPECT_THROW(decodeLine("a\0b", TextEncoding::Utf16Le), CodePageError); // odd byte
    EXPECT_THROW(decodeLine(std::string("\0\xD8", 2), TextEncoding::Utf16Le), CodePageError);
    EXPECT_THROW(decodeLine(std::string("\xDC\0", 2), TextEncoding::Utf16Be), CodePageError);
}

TEST(Utf16Test, ConvertsBothWaysIncludingSurrogatePairs) {
    const std::string text = "a" + kDoneUtf8 + "\xF0\x9F\x98\x80" + "é";
    const std::u16string wide = utf8ToUtf16(text);
    EXPECT_EQ(wide, u"a升级完毕！\U0001F600é");
    EXPECT_EQ(utf16ToUtf8(wide), text);
    EXPECT_EQ(utf8ToUtf16(""), u"");

    EXPECT_THROW(utf8ToUtf16("ok\xC3"), CodePageError);
    EXPECT_THROW(utf8ToUtf16("\xED\xA0\x80"), CodePageError);

    const char16_t loneHigh[] = {u'x', 0xD800, u'y', 0};
    const char16_t loneLow[] = {0xDC00, 0};
    EXPECT_EQ(utf16ToUtf8(loneHigh), "x\xEF\xBF\xBDy");
    EXPECT_EQ(utf16ToUtf8(loneLow), "\xEF\xBF\xBD");
}

} // namespace
} // namespace pupdate
