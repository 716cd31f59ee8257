// The encoding of line-mode scripts as the survey decides it, on texts as they stand in
// HR/salary scripts (encoding_corpus.txt): each written as its own one-line script in GBK
// and in UTF-8 without a mark, and whole scripts in both. A script is read right when its
// text decoded in the decided encoding is the text that was written.

#include "code_page.h"
#include "host_path.h"
#include "script_file.h"
#include "temp_dir.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace pupdate {
namespace {

using testing::TempDir;
using testing::writeFile;

// The corpus as the texts of files: each short text as a one-line script, each whole
// script as it stands; `kind` is "script" for the latter.
struct CorpusFile {
    std::string kind;
    std::string text;
};

std::vector<CorpusFile> readCorpus() {
    std::ifstream in(testing::pathFromHost(P_UPDATE_ENCODING_CORPUS), std::ios::binary);
    std::vector<CorpusFile> files;
    std::string kind;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("== ", 0) == 0) {
            kind = line.substr(3);
            if (kind.rfind("script ", 0) == 0) {
                files.push_back({"script", ""});
            }
        } else if (!line.empty() && line.front() != '#' && kind.rfind("script ", 0) == 0) {
            files.back().text += line + "\r\n";
        } else if (!line.empty() && line.front() != '#') {
            files.push_back({kind, "insert into t (name) values ('" + line + "')\r\n"});
        }
    }
    return files;
}

class EncodingCorpusTest : public ::testing::TestWithParam<TextEncoding> {};

TEST_P(EncodingCorpusTest, ScriptsAreReadInTheEncodingTheyWereWrittenIn) {
    const TextEncoding encoding = GetParam();
    const std::string name = encodingName(encoding);
    TempDir dir;
    std::map<std::string, std::pair<int, int>> byKind; // read right, files
    std::string misread;
    int number = 0;
    for (const CorpusFile& file : readCorpus()) {
        const std::string bytes =
            encoding == TextEncoding::Gbk ? utf8ToGbkLossy(file.text) : file.text;
        if (encoding == TextEncoding::Gbk && gbkToUtf8(bytes) != file.text) {
            continue; // GBK cannot hold it
        }
        const std::filesystem::path path = dir / (std::to_string(++number) + ".sql");
        writeFile(path, bytes);
        const bool right = decodeLine(bytes, surveyScript(path).encoding) == file.text;
        auto& [read, files] = byKind[file.kind];
        read += right ? 1 : 0;
        files += 1;
        misread += right ? "" : "  " + file.text.substr(0, file.text.find('\r')) + "\n";
    }
    int read = 0;
    int files = 0;
    for (const auto& [kind, tally] : byKind) {
        std::cout << "[ corpus ] " << name << " " << kind << ": " << tally.first << "/"
                  << tally.second << "\n";
        read += kind == "script" ? 0 : tally.first;
        files += kind == "script" ? 0 : tally.second;
    }
    std::cout << "[ corpus ] " << name << " one-line scripts: " << read << "/" << files
              << ", misread:\n"
              << misread;
    EXPECT_EQ(byKind["script"].first, byKind["script"].second) << misread;
    EXPECT_GE(read * 100, files * 98) << misread;
    EXPECT_GT(files, 250);
}

INSTANTIATE_TEST_SUITE_P(Encodings, EncodingCorpusTest,
                         ::testing::Values(TextEncoding::Gbk, TextEncoding::Utf8),
                         [](const ::testing::TestParamInfo<TextEncoding>& info) {
                             return info.param == TextEncoding::Gbk ? "Gbk" : "Utf8";
                         });

} // namespace
} // namespace pupdate
