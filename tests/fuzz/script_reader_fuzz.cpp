// The line-mode script reader and the survey on arbitrary files, against a plain
// in-memory reading of the same rules.
//
// The input is written to a real file. When its first byte is odd, the rest is put behind
// a run of filler bytes so that it straddles the end of the reader's first buffer; the
// expected result is then worked out from the rest alone (the filler only lengthens the
// first line), which keeps the byte-by-byte reference cheap.

#include "code_page.h"
#include "fuzz_check.h"
#include "reference_lines.h"
#include "script_file.h"
#include "transaction_scan.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace pupdate::fuzz {
namespace {

namespace fs = std::filesystem;
using testing::referenceCount;
using testing::referenceLines;

constexpr std::size_t kReaderBuffer = 64 * 1024;

// A private folder for the one file the target rewrites; removed when the fuzzer exits.
class ScratchFile {
public:
    ScratchFile() {
        std::string pattern = (fs::temp_directory_path() / "p_update_fuzz_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail("cannot create a scratch folder");
        }
        m_folder = pattern;
        m_file = m_folder / "script.sql";
    }
    ~ScratchFile() {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
    const fs::path& write(const std::string& bytes) {
        std::ofstream out(m_file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        check(out.good(), "the scratch file is written");
        return m_file;
    }

private:
    fs::path m_folder;
    fs::path m_file;
};

// The encoding by the rule applied to the whole text up to Ctrl-Z at once.
TextEncoding referenceEncoding(const std::string& bytes, bool atFileStart) {
    if (atFileStart) {
        if (const auto mark = byteOrderMark(bytes)) {
            return mark->encoding;
        }
    }
    EncodingDetector detector;
    detector.feed(std::string_view(bytes).substr(0, bytes.find('\x1A')));
    return detector.finish();
}

// The lines of a file with a UTF-16 mark: the same rules on code units.
std::vector<std::string> referenceWideLines(const std::string& bytes, bool bigEndian) {
    std::vector<std::string> lines;
    std::string line;
    bool started = false;
    std::size_t i = 2;
    for (; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        const unsigned unit = bigEndian ? (first << 8 | second) : (first | second << 8);
        if (unit == 0x1A) {
            break;
        }
        started = true;
        if (unit == '\n') {
            lines.push_back(line);
            line.clear();
            started = false;
        } else if (unit != '\r') {
            line.append(bytes, i, 2);
        }
    }
    if (i + 1 == bytes.size()) {
        line.push_back(bytes[i]); // a byte left over at the end
        started = true;
    }
    if (started) {
        lines.push_back(line);
    }
    return lines;
}

// The number of the first of the reader's lines that holds transaction control by the
// one-line rule, 0 for none: what the survey's streaming scan must find.
std::int64_t referenceControlLine(const std::vector<std::string>& lines,
                                  std::optional<TextEncoding> wide, bool gbk) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        if (wide) {
            std::string narrow;
            for (std::size_t at = 0; at + 1 < line.size(); at += 2) {
                const unsigned unit = utf16Unit(line.data() + at, *wide == TextEncoding::Utf16Be);
                narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '\x80');
            }
            line = narrow;
        }
        if (line.find('\0') == std::string::npos &&
            holdsTransactionControl(line, SqlDialect::SqlServer, gbk)) {
            return static_cast<std::int64_t>(i) + 1;
        }
    }
    return 0;
}

std::int64_t foundLine(const ScriptSurvey& survey) {
    return survey.transactionStatement ? survey.transactionStatement->line : 0;
}

} // namespace
} // namespace pupdate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pupdate;
    using fuzz::check;
    static fuzz::ScratchFile scratch;

    std::string bytes;
    std::string filler;
    std::string rest;
    if (size > 1 && (data[0] & 1) != 0) {
        // The rest starts up to 255 bytes before the first buffer ends.
        filler.assign(fuzz::kReaderBuffer - data[1], 'x');
        rest.assign(fuzz::asText(data + 2, size - 2));
        bytes = filler + rest;
    } else {
        rest.assign(fuzz::asText(data, size));
        bytes = rest;
    }
    const bool padded = !filler.empty();
    const auto mark = padded ? std::nullopt : byteOrderMark(rest);
    const std::filesystem::path& file = scratch.write(bytes);
    std::vector<std::string> lines;
    ScriptLineReader reader(file);
    std::string line;
    while (reader.next(line)) {
        lines.push_back(line);
    }
    check(!reader.next(line), "the end stays the end");

    if (mark && mark->encoding != TextEncoding::Utf8) {
        check(lines == fuzz::referenceWideLines(rest, mark->encoding == TextEncoding::Utf16Be),
              "UTF-16 lines follow the rules in code units");
        const ScriptSurvey survey = surveyScript(file);
        check(survey.encoding == mark->encoding, "the mark decides");
        check(fuzz::foundLine(survey) == fuzz::referenceControlLine(lines, mark->encoding, false),
              "UTF-16 transaction statements are found on the reader's lines");
        return 0;
    }
    std::vector<std::string> expectedLines = fuzz::referenceLines(rest, !padded);
    std::int64_t expectedCount = fuzz::referenceCount(rest);
    if (padded) {
        // The filler holds no byte the rules look at: it starts the first line.
        if (expectedLines.empty()) {
            expectedLines.push_back(filler);
        } else {
            expectedLines.front().insert(0, filler);
        }
        expectedCount = std::max<std::int64_t>(expectedCount, 1);
    }
    check(lines == expectedLines, "reader lines follow the rules");
    // Carriage returns that join lines, and a Ctrl-Z with more after it.
    const std::string_view text = std::string_view(bytes).substr(mark ? mark->length : 0);
    const std::size_t ctrlZ = text.find('\x1A');
    const std::string_view body = text.substr(0, ctrlZ);
    std::int64_t loneCrs = 0;
    for (std::size_t i = 0; i + 1 < body.size(); ++i) {
        loneCrs += body[i] == '\r' && body[i + 1] != '\n' ? 1 : 0;
    }
    check(reader.loneCarriageReturns() == loneCrs, "lone carriage returns are counted");
    const auto linesBefore = static_cast<std::int64_t>(std::count(body.begin(), body.end(), '\n'));
    check(reader.ctrlZLine() ==
              (ctrlZ != std::string_view::npos && ctrlZ + 1 < text.size() ? linesBefore + 1 : 0),
          "a Ctrl-Z before the end is placed on its line");

    const ScriptSurvey survey = surveyScript(file);
    check(survey.lineCount == expectedCount, "survey counts as a text list");
    // The whole file is weighed, the filler too: its last letter is the neighbour of the
    // first character of the rest.
    check(survey.encoding == fuzz::referenceEncoding(bytes, !padded), "survey encoding");
    check(fuzz::foundLine(survey) ==
              fuzz::referenceControlLine(lines, std::nullopt,
                                         survey.encoding == TextEncoding::Gbk && !mark),
          "transaction statements are found on the reader's lines");
    return 0;
}
