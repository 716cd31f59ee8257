// Update.ini read from real files in GBK, UTF-8 and UTF-16, and from things that are not
// readable files.

#include "code_page.h"
#include "encoded_text.h"
#include "settings_file.h"
#include "temp_dir.h"
#include "update_package.h"

#include <gtest/gtest.h>
#include <string>

namespace pupdate {
namespace {

using testing::allBytes;
using testing::TempDir;
using testing::utf16WithMark;
using testing::writeFile;

const std::string kOrderGbk = "\xCB\xB3\xD0\xF2"; // 顺序 in code page 936

TEST(SettingsFileTest, SectionAndKeyNamesIgnoreLetterCase) {
    const SettingsFile settings = SettingsFile::parse("[UPDATEFILE]\r\n"
                                                      "顺序=a.sql:IsAccess\r\n"
                                                      "Mode=Quiet\r\n");
    EXPECT_EQ(settings.value("Updatefile", "顺序"), "a.sql:IsAccess");
    EXPECT_EQ(settings.value("updatefile", "MODE"), "Quiet");
    EXPECT_EQ(settings.value("Updatefile", "顺"), std::nullopt);
    EXPECT_EQ(settings.value("Update", "顺序"), std::nullopt);
}

TEST(SettingsFileTest, CommentsBlanksAndOddLines) {
    const SettingsFile settings =
        SettingsFile::parse("orphan=outside any section\n"
                            "; [Updatefile]\n"
                            "[ Updatefile ]\n"
                            "  ;顺序=commented.sql:IsAccess\n"
                            "no assignment here\n"
                            " \t 顺序 \t=  a.sql:IsAccess , b.sql:IsSqlserver \t \r\n"
                            "顺序=second.sql:IsAccess\n"
                            "expr = x=1\r"
                            "empty=\n"
                            "[Other]\n"
                            "key=other\n");
    EXPECT_EQ(settings.value("Updatefile", "顺序"), "a.sql:IsAccess , b.sql:IsSqlserver");
    EXPECT_EQ(settings.value("Updatefile", "expr"), "x=1");
    EXPECT_EQ(settings.value("Updatefile", "empty"), "");
    EXPECT_EQ(settings.value("Updatefile", "key"), std::nullopt);
    EXPECT_EQ(settings.value("Other", "key"), "other");
    EXPECT_EQ(settings.value("", "orphan"), std::nullopt);
}

TEST(SettingsFileTest, QuotesAroundTheValueReachTheListSplitter) {
    const SettingsFile settings =
        SettingsFile::parse("[Updatefile]\n顺序=\"a b.sql:IsAccess\",c.sql:IsAccess\n");
    EXPECT_EQ(settings.value("Updatefile", "顺序"), "\"a b.sql:IsAccess\",c.sql:IsAccess");
}

TEST(UpdateListFileTest, EveryPackageEncodingGivesTheSameList) {
    const std::string text = "; 升级包\r\n[Updatefile]\r\n顺序=工资.sql:IsAccess\r\n";
    for (const std::string& bytes :
         {utf8ToGbkLossy(text), text, "\xEF\xBB\xBF" + text, utf16WithMark(text, false),
          utf16WithMark(text, true),
          // Bytes that are not text elsewhere in the file do not matter.
          "; \xFF\x81\r\n[Other]\r\nx=\x81\x30\r\n" + utf8ToGbkLossy(text) + "z=\xFF\r\n",
          // UTF-8 without a mark whose other lines would make it more plausible as GBK
          // (a lone symbol in a comment, a Latin-1 letter in another section).
          "; \xC2\xA9\r\n[Other]\r\nname=Ren\xC3\xA9\r\n" + text,
          // UTF-8 with a GBK comment pasted in: no longer UTF-8 as a whole.
          "; \xB9\xA4\xD7\xCA\r\n" + text,
          // GBK behind bytes that look like a mark.
          "\xFF\xFE" + utf8ToGbkLossy(text), "\xFE\xFF" + utf8ToGbkLossy(text),
          "\xEF\xBB\xBF" + utf8ToGbkLossy(text)}) {
        TempDir dir;
        writeFile(dir / "Update.ini", bytes);
        EXPECT_EQ(readUpdateList(dir.path()).list, "工资.sql:IsAccess")
            << ::testing::PrintToString(bytes);
    }
}

TEST(UpdateListFileTest, FileNameIgnoresLetterCase) {
    TempDir dir;
    writeFile(dir / "UPDATE.INI", "[updatefile]\n顺序=a.sql:IsAccess\n");
    EXPECT_EQ(readUpdateList(dir.path()).list, "a.sql:IsAccess");
}

TEST(UpdateListFileTest, MissingFileSectionOrKeyGivesAnEmptyList) {
    // Nothing to say about a file that is not there or holds nothing.
    for (const char* bytes : {static_cast<const char*>(nullptr), "", "\xEF\xBB\xBF \r\n"}) {
        TempDir dir;
        if (bytes != nullptr) {
            writeFile(dir / "Update.ini", bytes);
        }
        const UpdateListSetting setting = readUpdateList(dir.path());
        EXPECT_EQ(setting.list, "");
        EXPECT_EQ(setting.notFound, "");
    }
    // A file that holds text but no list in any reading says so, naming itself and the
    // readings tried.
    const std::pair<std::string, std::string> unread[] = {
        {"[Other]\r\n" + kOrderGbk + "=a.sql:IsAccess\r\n", "GBK、UTF-8 读都"},
        {"[Updatefile]\r\norder=a.sql:IsAccess\r\n", "GBK 读"},
        {allBytes("\xFF\xFE[\0U\0"), "UTF-16LE、GBK 读都"}};
    for (const auto& [bytes, readings] : unread) {
        TempDir dir;
        writeFile(dir / "Update.ini", bytes);
        const UpdateListSetting setting = readUpdateList(dir.path());
        EXPECT_EQ(setting.list, "");
        EXPECT_EQ(setting.notFound, "升级设置文件按 " + readings +
                                        "找不到升级列表（[Updatefile] 节的 顺序），"
                                        "升级脚本不会执行：" +
                                        pathToUtf8(dir / "Update.ini"));
    }
}

TEST(UpdateListFileTest, LongValueIsReadWhole) {
    std::string list;
    for (int i = 0; list.size() <= 5000; ++i) {
        list += "script_" + std::to_string(i) + ".sql:IsAccess,";
    }
    list += "last.sql:IsSqlserver";
    TempDir dir;
    writeFile(dir / "Update.ini", "[Updatefile]\r\n" + kOrderGbk + "=" + list + "\r\n");
    const std::string read = readUpdateList(dir.path()).list;
    EXPECT_GT(read.size(), 2047u);
    EXPECT_EQ(read, list);
}

TEST(UpdateListFileTest, AListThatIsNotTextOrHoldsAZeroByteIsRefused) {
    // 0xFF is neither a UTF-8 byte nor a GBK byte; 0x81 0x30 is no GBK character.
    for (const std::string& value :
         {std::string("\x81\x30\xFF\xFE\x80\x80.sql:IsAccess"), allBytes("a.sql:IsAccess\0,b")}) {
        TempDir dir;
        writeFile(dir / "Update.ini", "[Updatefile]\r\n" + kOrderGbk + "=" + value + "\r\n");
        try {
            readUpdateList(dir.path()).list;
            FAIL() << "no error for " << ::testing::PrintToString(value);
        } catch (const PackageError& error) {
            EXPECT_NE(std::string(error.what()).find("Update.ini"), std::string::npos)
                << error.what();
        }
    }
}

} // namespace
} // namespace pupdate
