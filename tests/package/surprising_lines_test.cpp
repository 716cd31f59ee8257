// What the line reader tells about lines a person would not expect (carriage returns that
// join lines, a Ctrl-Z that hides the rest), and which lines SQL Server would not take in
// the run's transaction or at all: the facts a package author is warned of.

#include "script_file.h"
#include "temp_dir.h"
#include "transaction_scan.h"

#include <gtest/gtest.h>
#include <string>

namespace pupdate {
namespace {

using testing::TempDir;
using testing::writeFile;

constexpr std::size_t kChunk = 64 * 1024; // the reader's buffer: breaks across its end

struct Surprise {
    const char* name;
    std::string bytes;
    std::int64_t loneCrs;
    std::int64_t firstLoneCrLine;
    std::int64_t ctrlZLine;
};

void PrintTo(const Surprise& surprise, std::ostream* out) {
    *out << surprise.name;
}

class SurprisingLinesTest : public ::testing::TestWithParam<Surprise> {};

TEST_P(SurprisingLinesTest, ReaderTellsWhereLinesJoinOrTheFileEndsEarly) {
    const Surprise& surprise = GetParam();
    TempDir dir;
    writeFile(dir / "a.sql", surprise.bytes);
    ScriptLineReader reader(dir / "a.sql");
    std::string line;
    while (reader.next(line)) {
    }
    EXPECT_EQ(reader.loneCarriageReturns(), surprise.loneCrs);
    EXPECT_EQ(reader.firstLoneCarriageReturnLine(), surprise.firstLoneCrLine);
    EXPECT_EQ(reader.ctrlZLine(), surprise.ctrlZLine);
}

const std::string kFill(kChunk - 1, 'x'); // the next byte ends the first chunk

INSTANTIATE_TEST_SUITE_P(
    Files, SurprisingLinesTest,
    ::testing::Values(Surprise{"CrLf", "a\r\nb\r\n", 0, 0, 0},
                      Surprise{"LoneCr", "a\r\nb\rc\r\nd\re\r", 2, 2, 0},
                      Surprise{"CrEndingAChunkBeforeLf", kFill + "\r\nb\n", 0, 0, 0},
                      Surprise{"CrEndingAChunkBeforeText", kFill + "\rb\n", 1, 1, 0},
                      Surprise{"CtrlZAsTheLastByte", "a\r\nb\r\n\x1A", 0, 0, 0},
                      Surprise{"CtrlZBeforeMore",
                               "a\r\nb\r\nc\x1A"
                               "d\r\n",
                               0, 0, 3},
                      Surprise{"CtrlZInALaterChunk", "a\n" + kFill + "\n\x1A\n", 0, 0, 3},
                      Surprise{"Utf16",
                               std::string("\xFF\xFE"
                                           "a\0\r\0b\0\n\0\x1A\0c\0",
                                           14),
                               1, 1, 2}),
    [](const auto& info) { return std::string(info.param.name); });

struct Statement {
    const char* line;
    const char* refused; // "GO" for a batch separator
};

class StatementTest : public ::testing::TestWithParam<Statement> {};

TEST_P(StatementTest, StatementsSqlServerTakesOnlyOutsideATransactionOrNotAtAll) {
    const Statement& statement = GetParam();
    const std::string expected = statement.refused;
    EXPECT_EQ(isBatchSeparator(statement.line), expected == "GO") << statement.line;
    EXPECT_EQ(statementRefusedInTransaction(statement.line), expected == "GO" ? "" : expected)
        << statement.line;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StatementTest,
    ::testing::Values(Statement{"GO", "GO"}, Statement{"  go  ", "GO"}, Statement{"GO 5", "GO"},
                      Statement{"go -- end of the batch", "GO"}, Statement{"gone", ""},
                      Statement{"select 1 go", ""}, Statement{"GO TO x", ""},
                      Statement{"CREATE DATABASE 工资库", "CREATE DATABASE"},
                      Statement{"if db_id('x') is null create database x", "CREATE DATABASE"},
                      Statement{"alter database x set recovery simple", "ALTER DATABASE"},
                      Statement{"drop fulltext index on t", "DROP FULLTEXT INDEX"},
                      Statement{"create fulltext catalog c", "CREATE FULLTEXT CATALOG"},
                      Statement{"backup log x to disk = 'y'", "BACKUP LOG"},
                      Statement{"restore database x from disk = 'y'", "RESTORE DATABASE"},
                      Statement{"select 1; reconfigure", "RECONFIGURE"},
                      Statement{"-- create database x", ""},
                      Statement{"insert into t values ('drop database x')", ""},
                      Statement{"select 1 /* backup database x */", ""},
                      Statement{"select [create database] from t", ""},
                      Statement{"select t.backup, database_id from t", ""},
                      Statement{"create table backup_log (id int)", ""}),
    [](const auto& info) { return "Line" + std::to_string(info.index); });

} // namespace
} // namespace pupdate
