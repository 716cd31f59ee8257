// The code-page conversions on arbitrary bytes: the streaming UTF-8 and GBK validators
// against the whole-text conversions, the encoding rule and the readings' costs against a
// plain whole-text statement of them, GBK round trips, and the UTF-16 boundary.

#include "code_page.h"
#include "code_page_detail.h"
#include "fuzz_check.h"

#include <optional>
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

// What a reading costs, stated plainly on its decoded text: every character weighed after
// the one before it, ASCII included, the text starting as after a blank. The detector
// streams the bytes, skips ASCII runs and takes GBK characters by their codes; this takes
// each character of the decoder's output by its code point.
std::uint64_t readingCost(std::string_view utf8) {
    const detail::Plausibility& tables = detail::plausibility();
    const auto* data = reinterpret_cast<const unsigned char*>(utf8.data());
    auto previous = static_cast<std::uint8_t>(detail::CharacterClass::AsciiOther);
    std::uint64_t cost = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t codePoint = 0;
        i += detail::decodeUtf8(data + i, utf8.size() - i, codePoint);
        const std::uint8_t character = detail::classOf(tables, codePoint);
        cost += tables.cost[previous][character];
        previous = character;
    }
    return cost;
}

// Feeds the bytes in pieces whose sizes cycle through 1..stride.
Utf8Validator validateInPieces(std::string_view bytes, std::size_t stride) {
    Utf8Validator validator;
    std::size_t pos = 0;
    for (std::size_t piece = 1; pos < bytes.size(); piece = piece % stride + 1) {
        validator.feed(bytes.substr(pos, piece));
        pos += piece;
    }
    validator.finish();
    return validator;
}

void checkUtf8(std::string_view bytes) {
    const bool valid = isValidUtf8(bytes);
    for (const std::size_t stride :
         {std::size_t{1}, std::size_t{3}, std::size_t{7}, bytes.size()}) {
        if (stride == 0) {
            continue;
        }
        const Utf8Validator validator = validateInPieces(bytes, stride);
        check(validator.valid() == valid, "the validator agrees with the whole-text check");
        if (valid) {
            check(validator.sawNonAscii() == !isPlainAscii(bytes),
                  "the validator sees non-ASCII bytes");
            check(validator.cost() == readingCost(bytes), "the UTF-8 reading's cost");
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

void checkEncodingRule(std::string_view bytes) {
    std::optional<std::string> gbk;
    try {
        gbk = gbkToUtf8(bytes);
    } catch (const CodePageError&) {
    }
    GbkValidator validator;
    validator.feed(bytes);
    check(validator.finish() == gbk.has_value(), "the GBK validator agrees with the decoder");
    if (gbk) {
        check(validator.cost() == readingCost(*gbk), "GBK codes cost what their characters do");
    }

    // The rule on the whole text at once: the mark; else a reading that is not valid is
    // ruled out, ASCII and text valid in neither reading are GBK, and of two valid
    // readings the cheaper wins, GBK on a tie.
    TextEncoding expected = TextEncoding::Gbk;
    if (const auto mark = byteOrderMark(bytes)) {
        expected = mark->encoding;
    } else if (isValidUtf8(bytes) && !isPlainAscii(bytes)) {
        expected =
            !gbk || readingCost(bytes) < readingCost(*gbk) ? TextEncoding::Utf8 : TextEncoding::Gbk;
    }
    check(detectPackageEncoding(bytes) == expected, "the encoding rule");
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
