#pragma once
// A line-mode script: read line by line as the line runner runs it, and surveyed once
// before the run for its line count, its encoding and any line that would begin or end
// a transaction (transaction_scan.h).

#include "code_page.h"
#include "transaction_scan.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pupdate {

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
    // A file without a mark written partly in each encoding: the lines that read as rarer
    // characters in its encoding than in the other, their number and the first of them.
    std::int64_t otherEncodingLines = 0;
    std::int64_t firstOtherEncodingLine = 0;
};
// What a survey found of lines written in the other encoding, for the log and the check:
// how many, which first, and how they are run.
std::string otherEncodingLinesText(const ScriptSurvey& survey);

// Streams the file once, looking for transaction control as `dialect` reads it. Raises
// std::system_error when it cannot be opened or read.
ScriptSurvey surveyScript(const std::filesystem::path& file,
                          SqlDialect dialect = SqlDialect::SqlServer);

} // namespace pupdate
