// The code-page conversions on arbitrary bytes: the streaming UTF-8 validator against the
// whole-text check, GBK round trips, and the UTF-16 boundary.

#include "code_page.h"
#include "fuzz_check.h"

#include <string>

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
    const bool utf8 = startsWithUtf8Bom(bytes) || (valid && !isPlainAscii(bytes));
    check(classifyPackageText(bytes) == (utf8 ? TextEncoding::Utf8 : TextEncoding::Gbk),
          "classification");

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

    try {
        check(isValidUtf8(decodePackageText(bytes)), "package text decodes to UTF-8");
    } catch (const CodePageError&) {
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

} // namespace
} // namespace pupdate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = pupdate::fuzz::asText(data, size);
    pupdate::fuzz::checkUtf8(bytes);
    pupdate::fuzz::checkGbk(bytes);
    pupdate::fuzz::checkUtf16(bytes);
    return 0;
}
