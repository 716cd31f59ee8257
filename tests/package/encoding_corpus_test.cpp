// The encoding of line-mode scripts as the survey decides it, on texts as they stand in
// HR/salary scripts (encoding_corpus.txt): each written as its own one-line script in GBK
// and in UTF-8 without a mark, and whole scripts in both. A script is read right when its
// text decoded in the decided encoding is the text that was written.

#include "code_page.h"
#include "host_path.h"
#include "temp_dir.h"
#include "update_package.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <string>
#include <vector>

namespace pupdate {
namespace {

using testing::TempDir;
using testing::writeFile;

struct CorpusGroup {
    std::string kind;
    bool script = false; // a whole script rather than short texts
    std::vector<std::string> lines;
};

std::vector<CorpusGroup> readCorpus() {
    std::ifstream in(testing::pathFromHost(P_UPDATE_ENCODING_CORPUS), std::ios::binary);
    std::vector<CorpusGroup> groups;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.rfind("== ", 0) == 0) {
            const bool script = line.rfind("== script ", 0) == 0;
            groups.push_back({line.substr(script ? 10 : 3), script, {}});
        } else if (!groups.empty()) {
            groups.back().lines.push_back(line);
        }
    }
    return groups;
}

// The text in `encoding`, or nothing when GBK cannot hold it.
std::optional<std::string> encoded(const std::string& text, TextEncoding encoding) {
    if (encoding == TextEncoding::Utf8) {
        return text;
    }
    std::string gbk = utf8ToGbkLossy(text);
    try {
        if (gbkToUtf8(gbk) == text) {
            return gbk;
        }
    } catch (const CodePageError&) {
    }
    return std::nullopt;
}

struct Tally {
    int right = 0;
    int total = 0;
    std::string wrong; // the texts misread, for the failure message
};

class EncodingCorpusTest : public ::testing::TestWithParam<TextEncoding> {};

TEST_P(EncodingCorpusTest, ScriptsAreReadInTheEncodingTheyWereWrittenIn) {
    const TextEncoding encoding = GetParam();
    const std::vector<CorpusGroup> corpus = readCorpus();
    ASSERT_FALSE(corpus.empty()) << P_UPDATE_ENCODING_CORPUS;
    TempDir dir;
    Tally lines;
    Tally scripts;
    int file = 0;
    // True when the survey of the file holding `text` in this encoding reads it right.
    const auto readRight = [&](const std::string& text, Tally& tally, Tally& kind) {
        const std::optional<std::string> bytes = encoded(text, encoding);
        if (!bytes) {
            return;
        }
        const std::filesystem::path path = dir / (std::to_string(++file) + ".sql");
        writeFile(path, *bytes);
        std::string read;
        try {
            read = decodeLine(*bytes, surveyScript(path).encoding);
        } catch (const CodePageError&) {
        }
        ++tally.total;
        ++kind.total;
        if (read == text) {
            ++tally.right;
            ++kind.right;
        } else {
            tally.wrong += "  " + text.substr(0, text.find('\r')) + "\n";
        }
    };

    for (const CorpusGroup& group : corpus) {
        Tally kind;
        if (group.script) {
            std::string text;
            for (const std::string& line : group.lines) {
                text += line + "\r\n";
            }
            readRight(text, scripts, kind);
            continue;
        }
        for (const std::string& line : group.lines) {
            readRight("insert into t (name) values ('" + line + "')\r\n", lines, kind);
        }
        std::cout << "[ corpus ] " << encodingName(encoding) << " " << group.kind << ": "
                  << kind.right << "/" << kind.total << "\n";
    }
    std::cout << "[ corpus ] " << encodingName(encoding) << " one-line scripts: " << lines.right
              << "/" << lines.total << ", whole scripts: " << scripts.right << "/" << scripts.total
              << "\n";

    std::cout << "[ corpus ] " << encodingName(encoding) << " misread:\n"
              << lines.wrong << scripts.wrong;
    EXPECT_EQ(scripts.right, scripts.total) << "whole scripts misread:\n" << scripts.wrong;
    EXPECT_GE(lines.right * 100, lines.total * 98) << "one-line scripts misread:\n" << lines.wrong;
    EXPECT_GT(lines.total, 250);
}

INSTANTIATE_TEST_SUITE_P(Encodings, EncodingCorpusTest,
                         ::testing::Values(TextEncoding::Gbk, TextEncoding::Utf8),
                         [](const ::testing::TestParamInfo<TextEncoding>& info) {
                             return info.param == TextEncoding::Gbk ? "Gbk" : "Utf8";
                         });

} // namespace
} // namespace pupdate
