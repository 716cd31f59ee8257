// The code-page conversions on arbitrary bytes: the streaming UTF-8 and GBK validators
// against the whole-text conversions, the encoding rule against a plain whole-text
// statement of it, GBK round trips, and the UTF-16 boundary.

#include "code_page.h"
#include "fuzz_check.h"

#include <string>
#include <string_view>

namespace pupdate::fuzz {
namespace {

std::size_t codePoints(std::string_view utf8) {
    std::size_t count = 0;
    for (const char c : utf8) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

// Feeds the bytes in pieces whose sizes cycle through 1..stride.
bool validateInPieces(std::string_view bytes, std::size_t stride, bool& sawNonAscii) {
    Utf8Validator validator;
    std::size_t pos = 0;
    for (std::size_t piece = 1; pos < bytes.size(); piece = piece % stride + 1) {
        validator.feed(bytes.substr(pos, piece));
        pos += piece;
    }
    const bool valid = validator.finish();
    sawNonAscii = validator.sawNonAscii();
    return valid;
}

void checkUtf8(std::string_view bytes) {
    const bool valid = isValidUtf8(bytes);
    for (const std::size_t stride :
         {std::size_t{1}, std::size_t{3}, std::size_t{7}, bytes.size()}) {
        if (stride == 0) {
            continue;
        }
        bool sawNonAscii = false;
        check(validateInPieces(bytes, stride, sawNonAscii) == valid,
              "the validator agrees with the whole-text check");
        if (valid) {
            check(sawNonAscii == !isPlainAscii(bytes), "the validator sees non-ASCII bytes");
        }
    }

    bool raised = false;
    try {
        const std::u16string wide = utf8ToUtf16(bytes);
        check(utf16ToUtf8(wide) == bytes, "UTF-8 to UTF-16 and back");
    } catch (const CodePageError&) {
        raised = true;
    }
    check(raised == !valid, "UTF-16 conversion raises exactly on malformed UTF-8");

    raised = false;
    try {
        check(decodeLine(bytes, TextEncoding::Utf8) == bytes, "a UTF-8 line stays as it is");
    } catch (const CodePageError&) {
        raised = true;
    }
    check(raised == !valid, "a UTF-8 line raises exactly when malformed");
}

void checkGbk(std::string_view bytes) {
    try {
        const std::string utf8 = gbkToUtf8(bytes);
        check(isValidUtf8(utf8), "GBK decodes to UTF-8");
        check(utf8ToGbkLossy(utf8) == bytes, "GBK to UTF-8 and back");
        check(decodeLine(bytes, TextEncoding::Gbk) == utf8, "a GBK line decodes the same");
    } catch (const CodePageError&) {
    }

    // The log's encoder always writes GBK the decoder takes, one character for each
    // character (or malformed byte) it was given.
    const std::string gbk = utf8ToGbkLossy(bytes);
    std::string back;
    try {
        back = gbkToUtf8(gbk);
    } catch (const CodePageError&) {
        fail("the lossy encoder writes valid GBK");
    }
    if (isValidUtf8(bytes)) {
        check(codePoints(back) == codePoints(bytes), "one character for each character");
    }
}

void checkUtf16(std::string_view bytes) {
    std::u16string wide(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
        wide[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                        static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    const std::string utf8 = utf16ToUtf8(wide);
    check(isValidUtf8(utf8), "UTF-16 converts to valid UTF-8");
    bool paired = true;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const char16_t unit = wide[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            paired = false;
        }
    }
    if (paired) {
        check(utf8ToUtf16(utf8) == wide, "UTF-16 to UTF-8 and back");
    }
}

// Characters of plain Chinese text, written out on their own from the blocks they belong
// to: ASCII, CJK ideographs, CJK and full-width punctuation, GB2312's other punctuation.
bool chineseText(std::string_view utf8) {
    const std::u16string wide = utf8ToUtf16(utf8);
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        }
        const bool chinese =
            c < 0x80 || std::u32string_view(U"·—‖‘’“”…‰′″※").find(c) != std::u32string_view::npos ||
            (c >= 0x3000 && c < 0x3040) || (c >= 0x3400 && c < 0x4DC0) ||
            (c >= 0x4E00 && c < 0xA000) || (c >= 0xF900 && c < 0xFB00) ||
            (c >= 0xFE30 && c < 0xFE50) || (c >= 0xFF00 && c < 0xFFF0) ||
            (c >= 0x20000 && c < 0x323B0);
        if (!chinese) {
            return false;
        }
    }
    return true;
}

// Some character of the GBK reading lies outside GB2312.
bool beyondGb2312(std::string_view gbk) {
    for (std::size_t i = 0; i < gbk.size(); ++i) {
        const auto lead = static_cast<unsigned char>(gbk[i]);
        if (lead < 0x80) {
            continue;
        }
        if (lead == 0x80) {
            return true;
        }
        const auto trail = static_cast<unsigned char>(gbk[++i]);
        const bool userDefined =
            (trail >= 0xA1 && ((lead >= 0xAA && lead <= 0xAF) || lead >= 0xF8)) ||
            (lead <= 0xA7 && trail <= 0xA0);
        if (lead < 0xA1 || trail < 0xA1 || userDefined) {
            return true;
        }
    }
    return false;
}

void checkEncodingRule(std::string_view bytes) {
    bool gbk = true;
    try {
        gbkToUtf8(bytes);
    } catch (const CodePageError&) {
        gbk = false;
    }
    GbkValidator validator;
    validator.feed(bytes);
    check(validator.finish() == gbk, "the GBK validator agrees with the decoder");

    TextEncoding expected = TextEncoding::Gbk;
    if (const auto mark = byteOrderMark(bytes)) {
        expected = mark->encoding;
    } else if (isValidUtf8(bytes) && !isPlainAscii(bytes)) {
        expected = !gbk || (beyondGb2312(bytes) && chineseText(bytes)) ? TextEncoding::Utf8
                                                                       : TextEncoding::Gbk;
    }
    check(detectPackageEncoding(bytes) == expected, "the encoding rule");
    if (gbk && !byteOrderMark(bytes)) {
        check(expected == TextEncoding::Gbk || (beyondGb2312(bytes) && chineseText(bytes)),
              "valid GBK is read as GBK unless it is implausible and UTF-8 is plain Chinese");
    }
    EncodingDetector detector;
    for (std::size_t i = 0; i < bytes.size(); i += 5) {
        detector.feed(bytes.substr(i, 5));
    }
    if (!byteOrderMark(bytes)) {
        check(detector.finish() == expected, "the detector fed in pieces agrees");
    }
}

} // namespace
} // namespace pupdate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = pupdate::fuzz::asText(data, size);
    pupdate::fuzz::checkUtf8(bytes);
    pupdate::fuzz::checkGbk(bytes);
    pupdate::fuzz::checkUtf16(bytes);
    pupdate::fuzz::checkEncodingRule(bytes);
    return 0;
}
