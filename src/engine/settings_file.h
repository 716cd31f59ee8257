#pragma once
// Update.ini, the package's settings file, and the update list it holds.

#include "code_page.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pupdate {

// A settings file of sections ("[name]") and "key=value" lines. Section and key names
// are matched without regard to ASCII letter case; blanks around names and values are
// trimmed; lines starting with ';' are comments. The first occurrence of a key wins.
// A file may be read in more than one encoding: its byte-order mark's, if it has one, then
// GBK and UTF-8, the more plausible reading of its content first (see EncodingDetector).
// A value is taken from the first reading in which its section holds its key, so that a
// comment or another section that happens to tip the verdict cannot hide the value. In
// each reading every line is decoded on its own, so a line that is not valid text hurts
// only when its own value is asked for.
class SettingsFile {
public:
    // Reads the file. A file that does not exist has no values; one that exists but is
    // not a regular file, or cannot be opened or read, raises PackageError.
    static SettingsFile load(const std::filesystem::path& file);
    static SettingsFile parse(std::string_view bytes);

    // The value, or nullopt when no reading has the section and key. A value that is not
    // valid text in the encoding of the reading that has it raises CodePageError.
    // `from`, when given, receives the encoding of the reading that had it.
    std::optional<std::string> value(std::string_view section, std::string_view key,
                                     TextEncoding* from = nullptr) const;
    // How the content without its byte-order mark was weighed between GBK and UTF-8.
    EncodingDetector::Decision decision() const { return m_decision; }
    // The file holds something besides blanks and a byte-order mark.
    bool holdsText() const { return m_holdsText; }
    // The encodings of the readings, in the order in which they are tried.
    std::vector<TextEncoding> readings() const;

private:
    struct Value {
        std::string text;
        bool decoded = true;
    };
    using Sections = std::map<std::string, std::map<std::string, Value>>; // folded names
    struct Reading {
        TextEncoding encoding;
        std::size_t skip;                       // bytes of the mark not read
        mutable std::optional<Sections> parsed; // on first use
    };
    static SettingsFile fromBytes(std::string&& content);
    static Sections parseIn(std::string_view bytes, TextEncoding encoding);

    std::string m_bytes;
    std::vector<Reading> m_readings;
    bool m_holdsText = false;
    EncodingDetector::Decision m_decision;
};

// The update list as Update.ini gives it.
struct UpdateListSetting {
    // The raw list: section "Updatefile", key "顺序"; empty when the file, section or key
    // is missing.
    std::string list;
    // When the file holds text but none of its readings has the key: why no script will
    // run, for the log (names the file and the encodings tried). Empty otherwise.
    std::string notFound;
    // The file as found on disk (its spelling), and how it was read: the encoding of the
    // reading that held the list (none when no reading did), the readings in the order
    // they were tried, and how GBK and UTF-8 were weighed.
    std::filesystem::path file;
    std::optional<TextEncoding> encoding;
    std::vector<TextEncoding> readings;
    EncodingDetector::Decision decision;
};

// Reads the update list from Update.ini in the program folder. Raises PackageError when
// the file cannot be read, or when the list is not valid text or holds a zero byte.
UpdateListSetting readUpdateList(const std::filesystem::path& programFolder);

} // namespace pupdate
