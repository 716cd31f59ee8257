// Line-mode scripts read from real files: line breaks, Ctrl-Z, byte-order marks, lines
// longer than the reader's buffer, and the survey that precedes a run.

#include "encoded_text.h"
#include "reference_lines.h"
#include "script_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace pupdate {
namespace {

using Lines = std::vector<std::string>;
using testing::referenceCount;
using testing::referenceLines;
using testing::TempDir;
using testing::writeFile;

// Larger than any buffer a reader would reasonably use, so lines cross buffer ends.
constexpr std::size_t kBig = 64 * 1024;

Lines readAll(const std::filesystem::path& file) {
    ScriptLineReader reader(file);
    Lines lines;
    std::string line;
    while (reader.next(line)) {
        lines.push_back(line);
    }
    EXPECT_FALSE(reader.next(line)) << "the end must stay the end";
    return lines;
}

Lines readBytes(const std::string& bytes) {
    TempDir dir;
    writeFile(dir / "script.sql", bytes);
    return readAll(dir / "script.sql");
}

ScriptSurvey surveyBytes(const std::string& bytes) {
    TempDir dir;
    writeFile(dir / "script.sql", bytes);
    return surveyScript(dir / "script.sql");
}

TEST(ScriptLineReaderTest, LineBreaks) {
    EXPECT_EQ(readBytes("select 1\nselect 2\n"), (Lines{"select 1", "select 2"}));
    EXPECT_EQ(readBytes("select 1\r\nselect 2\r\n"), (Lines{"select 1", "select 2"}));
    EXPECT_EQ(readBytes("sel\rect 1\r\r\nselect 2"), (Lines{"select 1", "select 2"}));
    EXPECT_EQ(readBytes("a\n\nb\n"), (Lines{"a", "", "b"}));
    EXPECT_EQ(readBytes("a\rb\rc"), (Lines{"abc"}));
}

TEST(ScriptLineReaderTest, EndOfFile) {
    EXPECT_EQ(readBytes(""), Lines{});
    EXPECT_EQ(readBytes("\n"), (Lines{""}));
    EXPECT_EQ(readBytes("\r\n\r\n"), (Lines{"", ""}));
    EXPECT_EQ(readBytes("last without break"), (Lines{"last without break"}));
    EXPECT_EQ(readBytes("a\r\n"), (Lines{"a"}));
    // A lone CR after the last break is dropped but still starts a line.
    EXPECT_EQ(readBytes("a\n\r"), (Lines{"a", ""}));
}

TEST(ScriptLineReaderTest, CtrlZEndsTheFile) {
    EXPECT_EQ(readBytes("a\r\nb\x1A"
                        "c\r\nd\r\n"),
              (Lines{"a", "b"}));
    EXPECT_EQ(readBytes("a\r\n\x1A"
                        "b\r\n"),
              (Lines{"a"}));
    EXPECT_EQ(readBytes("\x1A"
                        "a\n"),
              Lines{});
    EXPECT_EQ(readBytes("a\r\x1A\n"), (Lines{"a"}));
}

TEST(ScriptLineReaderTest, ByteOrderMarkIsStrippedOnlyAtTheStart) {
    EXPECT_EQ(readBytes("\xEF\xBB\xBFselect 1\r\n"), (Lines{"select 1"}));
    EXPECT_EQ(readBytes("\xEF\xBB\xBF"), Lines{});
    EXPECT_EQ(readBytes("\xEF\xBB\xBF\n"), (Lines{""}));
    EXPECT_EQ(readBytes("a\n\xEF\xBB\xBF"
                        "b"),
              (Lines{"a", "\xEF\xBB\xBF"
                          "b"}));
    EXPECT_EQ(readBytes("\xEF\xBB"), (Lines{"\xEF\xBB"}));
}

TEST(ScriptLineReaderTest, LinesLongerThanTheBuffer) {
    const std::string longLine(5 * kBig + 17, 'x');
    EXPECT_EQ(readBytes(longLine + "\r\nshort\r\n" + longLine),
              (Lines{longLine, "short", longLine}));
    // CRs scattered through a long line are all dropped.
    std::string withCr;
    for (int i = 0; i < 3000; ++i) {
        withCr += "abcdefghij\rklmnopqrstuvwxyz0123456789\r";
    }
    const Lines lines = readBytes(withCr + "\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), withCr.size() - 6000);
    EXPECT_EQ(lines[0].find('\r'), std::string::npos);
}

TEST(ScriptLineReaderTest, BreaksAndMarksAtEveryPositionAroundABufferEnd) {
    // Put the CR LF pair, a lone CR, a Ctrl-Z and a multi-byte character on each side of
    // the places where a buffer of a power-of-two size would end.
    for (std::size_t boundary : {kBig / 2, kBig, 2 * kBig}) {
        for (std::size_t offset = boundary - 3; offset <= boundary + 2; ++offset) {
            const std::string head(offset, 'h');
            for (const std::string& tail : {std::string("\r\nnext\r\n"), std::string("\rx\n"),
                                            std::string("\x1A"
                                                        "z\n"),
                                            std::string("顺序\r\nend")}) {
                for (const std::string& prefix : {std::string(), std::string("\xEF\xBB\xBF")}) {
                    const std::string bytes = prefix + head + tail;
                    ASSERT_EQ(readBytes(bytes), referenceLines(bytes))
                        << "offset " << offset << " prefix " << prefix.size();
                }
            }
        }
    }
}

TEST(ScriptLineReaderTest, ManyLinesOfAllKindsMatchTheRules) {
    std::mt19937 random(20240601);
    const char pieces[] = {'a', 'b', ' ', '\t', '\r', '\n', '\n', '\xCB', '\xB3', ';'};
    std::string bytes;
    for (int i = 0; i < 400000; ++i) {
        bytes.push_back(pieces[random() % sizeof pieces]);
        if (random() % 50000 == 0) {
            bytes.append(std::string(kBig + random() % 1000, 'L'));
        }
    }
    const Lines expected = referenceLines(bytes);
    EXPECT_EQ(readBytes(bytes), expected);
    EXPECT_EQ(readBytes(bytes + "\x1A" + bytes), expected);
    EXPECT_EQ(surveyBytes(bytes).lineCount, referenceCount(bytes));
}

TEST(ScriptLineReaderTest, Utf16FilesFollowTheSameRulesInCodeUnits) {
    // 业 is U+4E1A: one of its bytes is 1A, which must not end the file.
    const std::string longLine(kBig / 2 + 1, 'x');
    for (const std::string& text :
         {std::string("select '业'\r\nsel\rect 2\n\n"), longLine + "\r\n业" + longLine + "\n",
          std::string("a\r\n\x1A"
                      "b\r\n"),
          std::string("no break at the end")}) {
        for (const bool bigEndian : {false, true}) {
            const TextEncoding encoding = bigEndian ? TextEncoding::Utf16Be : TextEncoding::Utf16Le;
            const std::string bytes = testing::utf16WithMark(text, bigEndian);
            Lines decoded;
            for (const std::string& raw : readBytes(bytes)) {
                decoded.push_back(decodeLine(raw, encoding));
            }
            EXPECT_EQ(decoded, referenceLines(text)) << text.substr(0, 20) << bigEndian;
            const ScriptSurvey survey = surveyBytes(bytes);
            EXPECT_EQ(survey.encoding, encoding);
            EXPECT_EQ(survey.lineCount, referenceCount(text));
        }
    }
    // A byte left over at the end stays in the last line, which then cannot be decoded.
    const Lines odd = readBytes(testing::utf16WithMark("a\nb", false) + "c");
    ASSERT_EQ(odd.size(), 2u);
    EXPECT_THROW(decodeLine(odd[1], TextEncoding::Utf16Le), CodePageError);
}

TEST(ScriptLineReaderTest, MissingFileRaisesSystemError) {
    TempDir dir;
    EXPECT_THROW(ScriptLineReader(dir / "missing.sql"), std::system_error);
    EXPECT_THROW(surveyScript(dir / "missing.sql"), std::system_error);
}

TEST(SurveyScriptTest, CountsLinesTheWayATextListDoes) {
    EXPECT_EQ(surveyBytes("").lineCount, 0);
    EXPECT_EQ(surveyBytes("a\nb\n").lineCount, 2);
    EXPECT_EQ(surveyBytes("a\r\nb").lineCount, 2);
    EXPECT_EQ(surveyBytes("\n\n").lineCount, 2);
    EXPECT_EQ(surveyBytes("\r\r\n\n").lineCount, 3);
    // A zero byte ends the text for counting.
    EXPECT_EQ(surveyBytes(std::string("a\nb\0c\nd\n", 8)).lineCount, 2);
    EXPECT_EQ(surveyBytes(std::string("\0a\n", 3)).lineCount, 0);
}

TEST(SurveyScriptTest, CountDiffersFromTheReaderForCrAndCtrlZ) {
    // A CR ends a line in the count; the reader drops it.
    const std::string crOnly = "select 1\rselect 2\r";
    EXPECT_EQ(surveyBytes(crOnly).lineCount, 2);
    EXPECT_EQ(readBytes(crOnly), (Lines{"select 1select 2"}));
    // Ctrl-Z does not end the count; it ends the reading.
    const std::string ctrlZ = "a\n\x1A"
                              "b\nc\n";
    EXPECT_EQ(surveyBytes(ctrlZ).lineCount, 3);
    EXPECT_EQ(readBytes(ctrlZ), (Lines{"a"}));
}

TEST(SurveyScriptTest, CountAcrossBufferEnds) {
    for (std::size_t offset = kBig - 2; offset <= kBig + 1; ++offset) {
        for (const std::string& tail : {std::string("\r\nb\r\n"), std::string("\r\rb"),
                                        std::string("\n\r\n"), std::string(1, '\0') + "\n"}) {
            const std::string bytes = std::string(offset, 'a') + tail;
            EXPECT_EQ(surveyBytes(bytes).lineCount, referenceCount(bytes)) << offset;
        }
    }
}

TEST(SurveyScriptTest, EncodingOfTheTextBeforeCtrlZ) {
    EXPECT_EQ(surveyBytes("select 1\r\n").encoding, TextEncoding::Gbk);
    EXPECT_EQ(surveyBytes("\xEF\xBB\xBFselect 1\r\n").encoding, TextEncoding::Utf8);
    EXPECT_EQ(surveyBytes("insert into t values('顺序')\r\n").encoding, TextEncoding::Utf8);
    EXPECT_EQ(surveyBytes("insert into t values('\xCB\xB3\xD0\xF2')\r\n").encoding,
              TextEncoding::Gbk);
    // Only the bytes before Ctrl-Z count.
    EXPECT_EQ(surveyBytes("'顺序'\r\n\x1A\xD0\xF2").encoding, TextEncoding::Utf8);
    EXPECT_EQ(surveyBytes("select 1\r\n\x1A'顺序'").encoding, TextEncoding::Gbk);
    EXPECT_EQ(surveyBytes("'\xCB\xB3\xD0\xF2'\x1A'顺序'").encoding, TextEncoding::Gbk);
    // A character cut by Ctrl-Z is not UTF-8.
    EXPECT_EQ(surveyBytes("'\xE9\xA1\x1A\xBA'").encoding, TextEncoding::Gbk);
    // UTF-8 late in a long file, and a character split across a buffer end.
    EXPECT_EQ(surveyBytes(std::string(3 * kBig, 'a') + "顺序").encoding, TextEncoding::Utf8);
    EXPECT_EQ(surveyBytes(std::string(kBig - 1, 'a') + "顺序").encoding, TextEncoding::Utf8);
    EXPECT_EQ(surveyBytes(std::string(kBig - 1, 'a') + "顺序\xD0\xF2").encoding, TextEncoding::Gbk);
}

} // namespace
} // namespace pupdate
