// Splitting raw command lines and reading the two positional arguments.

#include "command_line.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace pupdate {
namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLineTest, BlanksSeparateAndQuotesToggle) {
    EXPECT_EQ(splitCommandLine("P_Update.exe D:\\HR hrdb"),
              (Args{"P_Update.exe", "D:\\HR", "hrdb"}));
    EXPECT_EQ(splitCommandLine("  P_Update.exe\t\x01 D:\\HR \r\n hrdb \x1F"),
              (Args{"P_Update.exe", "D:\\HR", "hrdb"}));
    EXPECT_EQ(splitCommandLine("\"C:\\Program Files\\P_Update.exe\" \"D:\\Human Resources\\\" db"),
              (Args{"C:\\Program Files\\P_Update.exe", "D:\\Human Resources\\", "db"}));
    // A quote anywhere switches quoting and is removed.
    EXPECT_EQ(splitCommandLine("p D:\\\"Human Res\"ources\\x h\"r\"db"),
              (Args{"p", "D:\\Human Resources\\x", "hrdb"}));
    EXPECT_EQ(splitCommandLine("p a\"\"b"), (Args{"p", "ab"}));
    EXPECT_EQ(splitCommandLine(""), Args{});
    EXPECT_EQ(splitCommandLine("   "), Args{});
}

TEST(SplitCommandLineTest, UnclosedQuoteRunsToTheEnd) {
    EXPECT_EQ(splitCommandLine("p \"D:\\HR  hrdb third"), (Args{"p", "D:\\HR  hrdb third"}));
    // A lone quote at the very end gives an empty argument, which ends the list.
    EXPECT_EQ(splitCommandLine("p D:\\HR \""), (Args{"p", "D:\\HR"}));
}

TEST(SplitCommandLineTest, QuotePairsOpeningAnArgumentAreSkipped) {
    EXPECT_EQ(splitCommandLine("p \"\" db"), (Args{"p", "db"}));
    EXPECT_EQ(splitCommandLine("p \"\"\"\" \"\" \"\"db"), (Args{"p", "db"}));
    EXPECT_EQ(splitCommandLine("p \"\""), (Args{"p"}));
    // A blank inside quotes is an argument, not an empty one.
    EXPECT_EQ(splitCommandLine("p D:\\HR \" \""), (Args{"p", "D:\\HR", " "}));
    // Three quotes: the pair is skipped and the third opens a quoted part.
    EXPECT_EQ(splitCommandLine("p \"\"\"a b\" c"), (Args{"p", "a b", "c"}));
}

TEST(SplitCommandLineTest, GbkSecondBytesAreNeverExamined) {
    // 0x81 0x20 and 0x81 0x22 stand for the lead byte that takes any next byte with it:
    // the blank or quote after it belongs to the character.
    EXPECT_EQ(splitCommandLine("p a\x81 b c"), (Args{"p", "a\x81 b", "c"}));
    EXPECT_EQ(splitCommandLine("p \"a\x81\" b\" c"), (Args{"p", "a\x81\" b", "c"}));
    // 工资 (B9 A4 D7 CA) in a quoted folder with a blank.
    EXPECT_EQ(splitCommandLine("p \"D:\\\xB9\xA4\xD7\xCA \xB9\xA4\xD7\xCA\" db"),
              (Args{"p", "D:\\\xB9\xA4\xD7\xCA \xB9\xA4\xD7\xCA", "db"}));
    // A lead byte as the last byte of the line stays.
    EXPECT_EQ(splitCommandLine("p a\x81"), (Args{"p", "a\x81"}));
    // In UTF-8 the same bytes are examined one by one.
    EXPECT_EQ(splitCommandLine("p a\x81 b c", TextEncoding::Utf8), (Args{"p", "a\x81", "b", "c"}));
    EXPECT_EQ(splitCommandLine("p \"D:\\工资 人事\" 数据库", TextEncoding::Utf8),
              (Args{"p", "D:\\工资 人事", "数据库"}));
}

TEST(CommandLineFromRawTest, ArgumentsOneAndTwo) {
    const CommandLine both = commandLineFromRaw("P_Update.exe \"D:\\Human Resources\" hrdb");
    EXPECT_EQ(both.installFolder, "D:\\Human Resources");
    EXPECT_EQ(both.database, "hrdb");
    EXPECT_TRUE(both.unattended());

    const CommandLine third = commandLineFromRaw("P_Update.exe D:\\HR hrdb extra more");
    EXPECT_EQ(third.installFolder, "D:\\HR");
    EXPECT_EQ(third.database, "hrdb");
    EXPECT_TRUE(third.unattended());

    const CommandLine folderOnly = commandLineFromRaw("P_Update.exe D:\\HR");
    EXPECT_TRUE(folderOnly.hasInstallFolder);
    EXPECT_FALSE(folderOnly.hasDatabase);
    EXPECT_FALSE(folderOnly.unattended());

    const CommandLine none = commandLineFromRaw("P_Update.exe");
    EXPECT_FALSE(none.hasInstallFolder);
    EXPECT_FALSE(none.hasDatabase);
    EXPECT_FALSE(none.unattended());
}

TEST(CommandLineFromRawTest, EmptyPairBeforeTheDatabaseMakesItArgumentOne) {
    const CommandLine line = commandLineFromRaw("P_Update.exe \"\" hrdb");
    EXPECT_EQ(line.installFolder, "hrdb");
    EXPECT_TRUE(line.hasInstallFolder);
    EXPECT_FALSE(line.hasDatabase);
    EXPECT_FALSE(line.unattended());
}

TEST(CommandLineFromRawTest, GbkArgumentsBecomeEngineText) {
    const CommandLine line = commandLineFromRaw("p \"D:\\\xB9\xA4\xD7\xCA \xC8\xCB\xCA\xC2\" hrdb");
    EXPECT_EQ(line.installFolder, "D:\\工资 人事");
    EXPECT_EQ(line.database, "hrdb");
    // Bytes that are no GBK text are passed on unchanged.
    EXPECT_EQ(commandLineFromRaw("p \xFF\x80 db").installFolder, "\xFF\x80");
    EXPECT_EQ(commandLineFromRaw("p \"D:\\工资\" db", TextEncoding::Utf8).installFolder,
              "D:\\工资");
}

CommandLine fromArgv(const std::vector<const char*>& arguments) {
    return commandLineFromArgv(static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLineFromArgvTest, ArgumentsAsTheShellSplitThem) {
    const CommandLine both = fromArgv({"./P_Update", "/opt/human resources", "hrdb", "third"});
    EXPECT_EQ(both.installFolder, "/opt/human resources");
    EXPECT_EQ(both.database, "hrdb");
    EXPECT_TRUE(both.unattended());

    EXPECT_FALSE(fromArgv({"./P_Update"}).hasInstallFolder);
    EXPECT_FALSE(fromArgv({"./P_Update", "/opt/hr"}).unattended());
}

TEST(CommandLineFromArgvTest, EmptyAndQuotePairArgumentsAreDropped) {
    const CommandLine line = fromArgv({"./P_Update", "", "\"\"", "\"\"\"\"", "hrdb"});
    EXPECT_EQ(line.installFolder, "hrdb");
    EXPECT_FALSE(line.hasDatabase);

    const CommandLine later = fromArgv({"./P_Update", "/opt/hr", "", "hrdb", "third"});
    EXPECT_EQ(later.installFolder, "/opt/hr");
    EXPECT_EQ(later.database, "hrdb");
    EXPECT_TRUE(later.unattended());
}

TEST(CommandLineFromArgvTest, QuotesInsideAreRemovedAndBlanksKept) {
    const CommandLine line = fromArgv({"./P_Update", "\"/opt/human resources\"", "h\"r\"db"});
    EXPECT_EQ(line.installFolder, "/opt/human resources");
    EXPECT_EQ(line.database, "hrdb");

    // A blank inside quotes is a present argument (the input check rejects it later).
    const CommandLine blank = fromArgv({"./P_Update", "/opt/hr", "\" \""});
    EXPECT_EQ(blank.database, " ");
    EXPECT_TRUE(blank.unattended());

    const CommandLine leadingPair = fromArgv({"./P_Update", "\"\"/opt/hr", "  db  "});
    EXPECT_EQ(leadingPair.installFolder, "/opt/hr");
    EXPECT_EQ(leadingPair.database, "  db  ");
}

} // namespace
} // namespace pupdate
