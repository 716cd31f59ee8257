// GBK through Windows' code page 936 (MultiByteToWideChar / WideCharToMultiByte).
//
// Code page 936 in Windows holds 255 double-byte codes that GBK leaves unassigned (leads
// A2, A4-A9, D7 and FE; they map to the private-use characters U+E766-U+E864), and it
// writes U+F8F5 as the single byte 0xFF. The POSIX build (glibc's GBK) rejects those codes,
// so this one rejects them too and writes those characters as '?': both builds accept
// exactly the same text. The three user-defined areas map to U+E000-U+E765 here by
// Windows' own table, as the POSIX build maps them by hand.

#include "code_page.h"
#include "code_page_detail.h"

#include <algorithm>
#include <windows.h>

namespace pupdate {

namespace {

constexpr UINT kCodePage = 936;

// Characters that code page 936 has and GBK has not.
bool outsideGbk(char32_t c) {
    return (c >= 0xE766 && c <= 0xE864) || c == 0xF8F5;
}

// Decodes `bytes`; false when Windows refuses them or they hold a code outside GBK.
bool decode(std::string_view bytes, std::u16string& out) {
    out.clear();
    if (bytes.empty()) {
        return true;
    }
    const int size = static_cast<int>(bytes.size());
    const int length =
        ::MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (length <= 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(length));
    if (::MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, bytes.data(), size,
                              reinterpret_cast<wchar_t*>(out.data()), length) != length) {
        return false;
    }
    return std::none_of(out.begin(), out.end(), [](char16_t c) { return outsideGbk(c); });
}

} // namespace

std::string gbkToUtf8(std::string_view gbk) {
    if (isPlainAscii(gbk)) {
        return std::string(gbk);
    }
    if (gbk.size() > 0x7FFFFFFF) {
        throw CodePageError("GBK text too long to convert");
    }
    std::u16string wide;
    if (decode(gbk, wide)) {
        return utf16ToUtf8(wide);
    }
    // Find the first character that does not convert, for the same report as the POSIX
    // build: a lead byte 0x81-0xFE always takes the next byte with it.
    std::size_t offset = 0;
    while (offset < gbk.size()) {
        const auto lead = static_cast<unsigned char>(gbk[offset]);
        const std::size_t length = lead >= 0x81 && lead <= 0xFE ? 2 : 1;
        if (offset + length > gbk.size() || !decode(gbk.substr(offset, length), wide)) {
            detail::throwInvalidGbk(gbk, offset);
        }
        offset += length;
    }
    throw CodePageError("invalid GBK text");
}

std::string utf8ToGbkLossy(std::string_view utf8) {
    const auto* data = reinterpret_cast<const unsigned char*>(utf8.data());
    if (detail::asciiPrefix(data, utf8.size()) == utf8.size()) {
        return std::string(utf8);
    }
    // UTF-16 with every malformed byte and every character GBK cannot hold already '?';
    // Windows turns what code page 936 lacks into '?' itself.
    std::wstring wide;
    wide.reserve(utf8.size());
    std::size_t offset = 0;
    while (offset < utf8.size()) {
        char32_t codePoint;
        const std::size_t length =
            detail::decodeUtf8(data + offset, utf8.size() - offset, codePoint);
        if (length == 0) {
            wide.push_back(L'?');
            ++offset;
            continue;
        }
        wide.push_back(
            codePoint > 0xFFFF || outsideGbk(codePoint) ? L'?' : static_cast<wchar_t>(codePoint));
        offset += length;
    }
    if (wide.size() > 0x7FFFFFFF) {
        throw CodePageError("text too long to convert");
    }
    const int size = static_cast<int>(wide.size());
    const int length = ::WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, wide.data(), size,
                                             nullptr, 0, "?", nullptr);
    std::string out(static_cast<std::size_t>(std::max(length, 0)), '\0');
    if (length <= 0 || ::WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, wide.data(), size,
                                             out.data(), length, "?", nullptr) != length) {
        throw CodePageError("text cannot be converted to code page 936");
    }
    return out;
}

} // namespace pupdate
