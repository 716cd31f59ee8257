#pragma once
// The update package: the folder the program runs from, with Update.ini (the update
// list), UpdatePro (program files) and UpdateSql (scripts).

#include "code_page.h"
#include "transaction_scan.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pupdate {

inline constexpr std::string_view kSettingsFileName = "Update.ini";
inline constexpr std::string_view kProgramFilesFolder = "UpdatePro";
inline constexpr std::string_view kScriptFolder = "UpdateSql";
inline constexpr std::string_view kUpdateListSection = "Updatefile";
inline constexpr std::string_view kUpdateListKey = "顺序";
// The two kinds of update entry, compared exactly.
inline constexpr std::string_view kLineMode = "IsAccess";
inline constexpr std::string_view kServerSideMode = "IsSqlserver";

// Raised when the update package cannot be read as it must be; the message, in Chinese,
// names the file and the reason and is shown to the operator as it stands.
class PackageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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

// Splits an update list into items: quoted items with doubled quotes, items cut at the
// first blank (0x01-0x20) or comma, empty items kept, a trailing comma adding one empty item.
std::vector<std::string> splitUpdateList(std::string_view list);

struct UpdateEntry {
    std::string file; // before the first colon; empty when there is no colon
    std::string kind; // everything after the first colon, or the whole item
};
UpdateEntry splitEntry(std::string_view item);

// Trims every byte from 0x01 to 0x20 at both ends.
std::string_view trimBlanks(std::string_view text);

// Reads a line-mode script line by line without holding the file: LF or CR LF ends a
// line, a lone CR is dropped, Ctrl-Z (0x1A) ends the file, a last line without a break
// is read, a final break adds no empty line. Lines are raw bytes in the file's encoding,
// without the byte-order mark at the start of the file. A file with a UTF-16 mark is read
// in code units of that byte order: its lines are the units' bytes, and the rules above
// apply to the characters LF, CR and U+001A.
class ScriptLineReader {
public:
    // Raises std::system_error when the file cannot be opened.
    explicit ScriptLineReader(const std::filesystem::path& file);
    // False at the end of the file. Raises std::system_error on a read error.
    bool next(std::string& line);

    // What the reading has met so far that joins or ends lines where a person reading the
    // file in an editor would not expect it (line numbers count the lines next() gave,
    // from 1; 0 when there is none): carriage returns dropped inside a line rather than
    // ending it, and a Ctrl-Z that ended the file although bytes came after it.
    std::int64_t loneCarriageReturns() const { return m_loneCrs; }
    std::int64_t firstLoneCarriageReturnLine() const { return m_firstLoneCrLine; }
    std::int64_t ctrlZLine() const { return m_ctrlZLine; }

private:
    bool fill();
    bool nextWide(std::string& line);
    unsigned unitAt(std::size_t pos) const;

    std::filesystem::path m_path;
    std::ifstream m_in;
    // Not cleared when made: a run reads thousands of small scripts, and clearing 64 KiB
    // for each costs more than reading it.
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    bool m_eof = false;  // no more bytes from the file (end or Ctrl-Z)
    bool m_first = true; // byte-order mark not yet checked
    bool m_wide = false; // UTF-16: two bytes a unit
    bool m_bigEndian = false;
    std::int64_t m_lines = 0; // lines given so far
    bool m_pendingCr = false; // a dropped CR that is lone unless an LF comes next
    std::int64_t m_loneCrs = 0;
    std::int64_t m_firstLoneCrLine = 0;
    std::int64_t m_ctrlZLine = 0;
    void noteLoneCr();
};

// What the line runner does with one line of a script: runs it as `statement`, or logs
// and skips it because it is not valid text in the script's encoding, or because it holds
// a zero character (the drivers would run only what comes before it).
enum class ScriptLineVerdict { Runs, NotText, ZeroCharacter };
ScriptLineVerdict decodeScriptLine(std::string_view raw, TextEncoding encoding,
                                   std::string& statement);

// What a streaming pass over a line-mode script learns before it is run.
struct ScriptSurvey {
    // Number of lines, counted the way a text list loads a file: a CR, an LF or a
    // CR LF pair ends a line, a zero byte ends the text, a final break adds no line.
    std::int64_t lineCount = 0;
    // Its byte-order mark's, else decided from the whole text up to Ctrl-Z.
    TextEncoding encoding = TextEncoding::Gbk;
    bool marked = false; // the file starts with a byte-order mark
    // The first line that would begin or end a transaction itself, read in that encoding.
    std::optional<TransactionStatement> transactionStatement;
    // How clearly the encoding was decided, for a file without a byte-order mark.
    EncodingDetector::Decision decision;
};
// Streams the file once. Raises std::system_error when it cannot be opened or read.
ScriptSurvey surveyScript(const std::filesystem::path& file);

// One entry of the update list as the check before the walk found it.
struct UpdateEntryPlan {
    std::string kind;           // "IsAccess" or "IsSqlserver"
    std::filesystem::path path; // the script file
    ScriptSurvey survey;        // line mode: what the check learned of the file
};

} // namespace pupdate
