#pragma once
// Conversions between the package's code pages and the engine's UTF-8.
// Inside the engine every text is UTF-8; package files arrive as UTF-8 or GBK
// (code page 936), the log leaves as GBK and the database layer takes UTF-16.

#include <stdexcept>
#include <string>
#include <string_view>

namespace pupdate {

// Raised when bytes are not valid text in the code page they are read in.
class CodePageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TextEncoding { Utf8, Gbk };

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
bool isValidUtf8(std::string_view bytes);
// True when every byte is below 0x80.
bool isPlainAscii(std::string_view bytes);
// The UTF-8 byte-order mark EF BB BF at the start.
bool startsWithUtf8Bom(std::string_view bytes);

// Validates UTF-8 fed in pieces of any size (a character may be split between pieces),
// so that a file can be classified while it is streamed.
class Utf8Validator {
public:
    void feed(std::string_view piece);
    // Whole input seen: true when it was valid UTF-8 (an incomplete last character is invalid).
    bool finish();
    bool sawNonAscii() const { return m_sawNonAscii; }

private:
    bool m_valid = true;
    bool m_sawNonAscii = false;
    unsigned m_pending = 0;       // continuation bytes still expected
    unsigned char m_lead = 0;     // lead byte of the pending character
    unsigned m_seen = 0;          // continuation bytes seen of the pending character
};

// Decides the encoding of a package text file: a byte-order mark or valid non-ASCII UTF-8
// means UTF-8, anything else GBK.
TextEncoding classifyPackageText(std::string_view bytes);

// Strict GBK to UTF-8; malformed or truncated input raises CodePageError.
std::string gbkToUtf8(std::string_view gbk);
// UTF-8 to GBK for the log; characters that GBK cannot hold become '?'.
// Malformed UTF-8 input bytes also become '?'.
std::string utf8ToGbkLossy(std::string_view utf8);

// Decodes a whole package text file (settings file) to UTF-8 without its byte-order mark.
// Raises CodePageError when the bytes are neither UTF-8 nor GBK.
std::string decodePackageText(std::string_view bytes);
// Decodes one line in the given encoding; raises CodePageError when malformed.
std::string decodeLine(std::string_view bytes, TextEncoding encoding);

// UTF-8 <-> UTF-16 for the ODBC boundary. Malformed UTF-8 raises CodePageError;
// unpaired surrogates in UTF-16 become U+FFFD.
std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

} // namespace pupdate
