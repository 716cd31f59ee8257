#pragma once
// Conversions between the package's code pages and the engine's UTF-8.
// Inside the engine every text is UTF-8; package files arrive as GBK (code page 936),
// UTF-8 or UTF-16, the log leaves as GBK and the database layer takes UTF-16.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pupdate {

// Raised when bytes are not valid text in the code page they are read in.
class CodePageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TextEncoding { Utf8, Gbk, Utf16Le, Utf16Be };

// "UTF-8", "GBK", "UTF-16LE" or "UTF-16BE", for messages.
const char* encodingName(TextEncoding encoding);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
bool isValidUtf8(std::string_view bytes);
// True when every byte is below 0x80.
bool isPlainAscii(std::string_view bytes);
// The UTF-8 byte-order mark EF BB BF at the start.
bool startsWithUtf8Bom(std::string_view bytes);

// A byte-order mark at the start of a file: EF BB BF (UTF-8), FF FE (UTF-16LE) or
// FE FF (UTF-16BE).
struct ByteOrderMark {
    TextEncoding encoding;
    std::size_t length;
};
std::optional<ByteOrderMark> byteOrderMark(std::string_view start);

// Validates UTF-8 fed in pieces of any size (a character may be split between pieces),
// so that a file can be classified while it is streamed. While weighing, it also sums how
// implausible the text is as UTF-8 (see EncodingDetector).
class Utf8Validator {
public:
    Utf8Validator();
    void feed(std::string_view piece);
    // Whole input seen: true when it was valid UTF-8 (an incomplete last character is invalid).
    bool finish();
    bool valid() const { return m_valid; }
    bool sawNonAscii() const { return m_sawNonAscii; }
    // The cost of the characters seen while weighing; lower is more plausible.
    std::uint64_t cost() const { return m_cost; }
    // Only validates from here on: the other reading has failed, so the cost is moot.
    void stopWeighing() { m_weighing = false; }

private:
    bool m_valid = true;
    bool m_sawNonAscii = false;
    bool m_weighing = true;
    unsigned m_pending = 0;   // continuation bytes still expected
    unsigned char m_lead = 0; // lead byte of the pending character
    unsigned m_seen = 0;      // continuation bytes seen of the pending character
    char32_t m_value = 0;     // the pending character's bits so far
    std::uint8_t m_previous;  // class of the character before
    std::uint64_t m_cost = 0;
};

// Validates GBK fed in pieces of any size, exactly as strictly as gbkToUtf8 decodes, and
// sums how implausible the text is as GBK.
class GbkValidator {
public:
    GbkValidator();
    void feed(std::string_view piece);
    bool finish();
    bool valid() const { return m_valid; }
    std::uint64_t cost() const { return m_cost; }

private:
    bool m_valid = true;
    int m_lead = -1;         // lead byte waiting for its trail byte
    std::uint8_t m_previous; // class of the character before
    std::uint64_t m_cost = 0;
};

// Decides the encoding of package text without a byte-order mark from its whole content,
// fed in pieces: the reading, GBK or UTF-8, in which it is more plausibly text a person
// wrote. Each reading costs the sum, over its characters, of how unlikely it is that a
// person writing an HR/salary script put that character there after the one before it:
// ASCII nothing, the common ideographs little and rarer ones more, the letters of other
// scripts and the symbols of business text little among their own kind, private-use
// characters, controls and rare scripts a lot (code_page_plausibility.cpp). The cheaper
// reading wins, GBK (the package format) on a tie. A reading in which the text is not
// valid is ruled out; text valid in neither, or plain ASCII, is GBK.
class EncodingDetector {
public:
    void feed(std::string_view piece);
    TextEncoding finish();

    // How the last finish() decided: the text was plain ASCII, or only one reading was
    // valid text, or both were and their costs chose (lower is more plausible).
    struct Decision {
        enum class Basis { Ascii, OneReading, Weighed } basis = Basis::Ascii;
        std::uint64_t gbkCost = 0;
        std::uint64_t utf8Cost = 0;
        bool weighed() const { return basis == Basis::Weighed; }
        // The loser's cost less the winner's: how much more surprising the other reading
        // is. 0 when nothing was weighed.
        std::uint64_t margin() const {
            return !weighed() ? 0 : gbkCost > utf8Cost ? gbkCost - utf8Cost : utf8Cost - gbkCost;
        }
    };
    Decision decision() const { return m_decision; }

private:
    Utf8Validator m_utf8;
    GbkValidator m_gbk;
    Decision m_decision;
};

// The encoding of a whole package text file: its byte-order mark, else the detector's
// verdict on all of it.
TextEncoding detectPackageEncoding(std::string_view bytes);

// Strict GBK to UTF-8; malformed or truncated input raises CodePageError.
std::string gbkToUtf8(std::string_view gbk);
// UTF-8 to GBK for the log; characters that GBK cannot hold become '?'.
// Malformed UTF-8 input bytes also become '?'.
std::string utf8ToGbkLossy(std::string_view utf8);

// The UTF-16 code unit held by the two bytes at `bytes`, in the given byte order.
inline char16_t utf16Unit(const char* bytes, bool bigEndian) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes);
    return static_cast<char16_t>(bigEndian ? (data[0] << 8 | data[1]) : (data[0] | data[1] << 8));
}

// Decodes one line in the given encoding (UTF-16 lines are their code units' bytes);
// raises CodePageError when malformed.
std::string decodeLine(std::string_view bytes, TextEncoding encoding);

// UTF-8 <-> UTF-16 for the ODBC boundary. Malformed UTF-8 raises CodePageError;
// unpaired surrogates in UTF-16 become U+FFFD.
std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

} // namespace pupdate
