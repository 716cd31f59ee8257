// Splitting the update list into items and items into file and kind.

#include "text.h"
#include "update_list.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace pupdate {
namespace {

using Items = std::vector<std::string>;

TEST(SplitUpdateListTest, CommasSeparateEntriesWithOrWithoutBlanks) {
    const Items expected = {"a.sql:IsAccess", "b.sql:IsSqlserver"};
    EXPECT_EQ(splitUpdateList("a.sql:IsAccess,b.sql:IsSqlserver"), expected);
    EXPECT_EQ(splitUpdateList("a.sql:IsAccess, b.sql:IsSqlserver"), expected);
    EXPECT_EQ(splitUpdateList(" \t a.sql:IsAccess \r\n,\x01 b.sql:IsSqlserver \x1F"), expected);
    // A blank alone separates items too.
    EXPECT_EQ(splitUpdateList("a.sql:IsAccess b.sql:IsSqlserver"), expected);
}

TEST(SplitUpdateListTest, EmptyOrBlankValueGivesNoItem) {
    EXPECT_EQ(splitUpdateList(""), Items{});
    EXPECT_EQ(splitUpdateList(" \t\r\n\x01\x20"), Items{});
}

TEST(SplitUpdateListTest, UnquotedBlankCutsTheItem) {
    EXPECT_EQ(splitUpdateList("my file.sql:IsAccess"), (Items{"my", "file.sql:IsAccess"}));
    EXPECT_EQ(splitUpdateList("a.sql:Is\tAccess,b"), (Items{"a.sql:Is", "Access", "b"}));
}

TEST(SplitUpdateListTest, QuotedItemKeepsBlanksCommasAndDoubledQuotes) {
    EXPECT_EQ(splitUpdateList("\"my file.sql:IsAccess\",b.sql:IsSqlserver"),
              (Items{"my file.sql:IsAccess", "b.sql:IsSqlserver"}));
    EXPECT_EQ(splitUpdateList("\"a, b\" , \"say \"\"hi\"\".sql:IsAccess\""),
              (Items{"a, b", "say \"hi\".sql:IsAccess"}));
    EXPECT_EQ(splitUpdateList("\"\",x"), (Items{"", "x"}));
    EXPECT_EQ(splitUpdateList("\"\"\"\""), (Items{"\""}));
    // A quote inside an unquoted item is an ordinary byte.
    EXPECT_EQ(splitUpdateList("a\"b,c"), (Items{"a\"b", "c"}));
    // Text straight after the closing quote starts the next item.
    EXPECT_EQ(splitUpdateList("\"a\"b"), (Items{"a", "b"}));
}

TEST(SplitUpdateListTest, UnclosedQuoteTakesTheRestOfTheValue) {
    EXPECT_EQ(splitUpdateList("a.sql:IsAccess,\"b c.sql:IsAccess, d"),
              (Items{"a.sql:IsAccess", "b c.sql:IsAccess, d"}));
    EXPECT_EQ(splitUpdateList("\"x\"\"y"), (Items{"x\"y"}));
    EXPECT_EQ(splitUpdateList("\""), (Items{""}));
}

TEST(SplitUpdateListTest, EmptyItemsCount) {
    EXPECT_EQ(splitUpdateList("a,,b"), (Items{"a", "", "b"}));
    EXPECT_EQ(splitUpdateList("a, ,b"), (Items{"a", "", "b"}));
    EXPECT_EQ(splitUpdateList(",a"), (Items{"", "a"}));
    EXPECT_EQ(splitUpdateList(","), (Items{"", ""}));
}

TEST(SplitUpdateListTest, TrailingCommaAddsOneEmptyItemOnlyAsTheLastByte) {
    EXPECT_EQ(splitUpdateList("a.sql:IsAccess,b.sql:IsSqlserver,"),
              (Items{"a.sql:IsAccess", "b.sql:IsSqlserver", ""}));
    EXPECT_EQ(splitUpdateList("a,,"), (Items{"a", "", ""}));
    // Blanks after the comma: the comma is not the last byte.
    EXPECT_EQ(splitUpdateList("a.sql:IsAccess, "), (Items{"a.sql:IsAccess"}));
}

TEST(SplitUpdateListTest, ChineseFileNamesStayWhole) {
    // Converted from GBK, whose second bytes include values like 0x40-0x7E; in UTF-8 no
    // byte of a Chinese character can be taken for a blank, a comma or a quote.
    EXPECT_EQ(splitUpdateList("工资\\升级.sql:IsAccess,\"人力 资源.sql:IsSqlserver\",顺序"),
              (Items{"工资\\升级.sql:IsAccess", "人力 资源.sql:IsSqlserver", "顺序"}));
    EXPECT_EQ(splitUpdateList(gbkToUtf8("\xB9\xA4\xD7\xCA.sql:IsAccess,\x81\x40\x81\x7E")),
              (Items{"工资.sql:IsAccess", gbkToUtf8("\x81\x40\x81\x7E")}));
}

TEST(SplitEntryTest, SplitsAtTheFirstColon) {
    const UpdateEntry plain = splitEntry("a.sql:IsAccess");
    EXPECT_EQ(plain.file, "a.sql");
    EXPECT_EQ(plain.kind, "IsAccess");

    const UpdateEntry several = splitEntry("x:y:IsAccess");
    EXPECT_EQ(several.file, "x");
    EXPECT_EQ(several.kind, "y:IsAccess");

    const UpdateEntry noColon = splitEntry("a.sql");
    EXPECT_EQ(noColon.file, "");
    EXPECT_EQ(noColon.kind, "a.sql");

    const UpdateEntry empty = splitEntry("");
    EXPECT_EQ(empty.file, "");
    EXPECT_EQ(empty.kind, "");

    const UpdateEntry folder = splitEntry("子目录\\b.sql:");
    EXPECT_EQ(folder.file, "子目录\\b.sql");
    EXPECT_EQ(folder.kind, "");
}

TEST(SplitEntryTest, ListAndEntriesTogether) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::string& item : splitUpdateList("a.sql:IsAccess, b.sql:IsSqlserver,")) {
        const UpdateEntry entry = splitEntry(item);
        entries.emplace_back(entry.file, entry.kind);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"a.sql", "IsAccess"}, {"b.sql", "IsSqlserver"}, {"", ""}};
    EXPECT_EQ(entries, expected);
}

TEST(TrimBlanksTest, RemovesBytesUpToSpaceAtBothEnds) {
    EXPECT_EQ(trimBlanks(" \t\x01\r\na b\x1F \x20"), "a b");
    EXPECT_EQ(trimBlanks("\x01\x02"), "");
    EXPECT_EQ(trimBlanks(""), "");
    EXPECT_EQ(trimBlanks(std::string_view("\0x\0", 3)), std::string_view("\0x\0", 3));
    EXPECT_EQ(trimBlanks(" 顺序 "), "顺序");
}

} // namespace
} // namespace pupdate
