#pragma once
// The update package: the folder the program runs from, with Update.ini (the update
// list), UpdatePro (program files) and UpdateSql (scripts).

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "code_page.h"

namespace pupdate {

inline constexpr std::string_view kSettingsFileName = "Update.ini";
inline constexpr std::string_view kProgramFilesFolder = "UpdatePro";
inline constexpr std::string_view kScriptFolder = "UpdateSql";
inline constexpr std::string_view kUpdateListSection = "Updatefile";
inline constexpr std::string_view kUpdateListKey = "顺序";

// A settings file of sections ("[name]") and "key=value" lines. Section and key names
// are matched without regard to ASCII letter case; blanks around names and values are
// trimmed; lines starting with ';' are comments. The first occurrence of a key wins.
class SettingsFile {
public:
    // Reads and decodes the file (UTF-8 or GBK). A missing file gives an empty settings
    // file; a file that is neither UTF-8 nor GBK raises CodePageError.
    static SettingsFile load(const std::filesystem::path& file);
    static SettingsFile parse(std::string_view utf8Text);

    std::optional<std::string> value(std::string_view section, std::string_view key) const;

private:
    std::map<std::string, std::map<std::string, std::string>> m_sections; // folded names
};

// The whole raw update list: section "Updatefile", key "顺序" of Update.ini in the
// program folder; empty when the file, section or key is missing.
std::string readUpdateList(const std::filesystem::path& programFolder);

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
// is read, a final break adds no empty line. Lines are raw bytes, without any UTF-8
// byte-order mark at the start of the file.
class ScriptLineReader {
public:
    // Raises std::system_error when the file cannot be opened.
    explicit ScriptLineReader(const std::filesystem::path& file);
    // False at the end of the file. Raises std::system_error on a read error.
    bool next(std::string& line);

private:
    bool fill();

    std::filesystem::path m_path;
    std::ifstream m_in;
    std::vector<char> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    bool m_eof = false;    // no more bytes from the file (end or Ctrl-Z)
    bool m_first = true;   // byte-order mark not yet checked
};

// What a streaming pass over a line-mode script learns before it is run.
struct ScriptSurvey {
    // Number of lines, counted the way a text list loads a file: a CR, an LF or a
    // CR LF pair ends a line, a zero byte ends the text, a final break adds no line.
    std::int64_t lineCount = 0;
    TextEncoding encoding = TextEncoding::Gbk; // of the text up to Ctrl-Z
};
// Streams the file once. Raises std::system_error when it cannot be opened or read.
ScriptSurvey surveyScript(const std::filesystem::path& file);

} // namespace pupdate
