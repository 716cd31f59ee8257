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

TEST(GbkTest, LossyEncodingReplacesWhatGbkCannotHold) {
    EXPECT_EQ(utf8ToGbkLossy("a\xF0\x9F\x98\x80"
                             "b"),
              "a?b");
    EXPECT_EQ(utf8ToGbkLossy("한" + kOrderUtf8), "?" + kOrderGbk);
    // Malformed UTF-8 bytes become one '?' each and the rest still converts.
    EXPECT_EQ(utf8ToGbkLossy("x\xFF" + kDoneUtf8 + "\xC3"), "x?" + kDoneGbk + "?");
    EXPECT_EQ(utf8ToGbkLossy("plain"), "plain");
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
        // Valid in both: the GBK reading needs codes outside GB2312, the UTF-8 reading is
        // Chinese text, so it is UTF-8.
        {"UTF-8 工资", "\xE5\xB7\xA5\xE8\xB5\x84", TextEncoding::Utf8},
        {"UTF-8 工资 with punctuation", "'工资'，“元”", TextEncoding::Utf8},
        // Valid in both, the UTF-8 reading is no Chinese text: GBK, the package format.
        {"UTF-8 é is GBK 篓", "caf\xC3\xA9", TextEncoding::Gbk},
        {"UTF-8 À is GBK outside GB2312", "\xC3\x80", TextEncoding::Gbk},
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
