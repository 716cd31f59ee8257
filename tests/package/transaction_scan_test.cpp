// Which lines of a line-mode script end, begin or change the run's transaction, as each
// dialect reads them: the classifier itself, one table for the three dialects.

#include "transaction_scan.h"

#include <gtest/gtest.h>
#include <string>

namespace pupdate {
namespace {

struct ScanCase {
    const char* line;
    // One letter for each dialect that refuses the line, '-' for one that runs it:
    // S SQL Server, P PostgreSQL, L SQLite.
    const char* refusedBy;
};

void PrintTo(const ScanCase& scanCase, std::ostream* out) {
    *out << scanCase.line;
}

class TransactionScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(TransactionScanTest, EachDialectRefusesWhatEndsItsTransaction) {
    const ScanCase& scanCase = GetParam();
    const std::string expected = scanCase.refusedBy;
    const std::string found =
        std::string(holdsTransactionControl(scanCase.line, SqlDialect::SqlServer, false) ? "S"
                                                                                         : "-") +
        (holdsTransactionControl(scanCase.line, SqlDialect::PostgreSql, false) ? "P" : "-") +
        (holdsTransactionControl(scanCase.line, SqlDialect::Sqlite, false) ? "L" : "-");
    EXPECT_EQ(found, expected) << scanCase.line;
}

// clang-format off
const ScanCase kCases[] = {
    // The plain statements, in any letter case.
    {"COMMIT", "SPL"}, {"CoMmIt WoRk", "SPL"}, {"rollback", "SPL"}, {"BEGIN TRAN", "SPL"},
    {"Begin Transaction", "SPL"}, {"begin", "-PL"}, {"END", "-PL"}, {"End Transaction", "-PL"},
    {"ABORT", "-P-"}, {"Start Transaction", "-P-"}, {"prepare transaction 'p'", "-P-"},
    {"COMMIT PREPARED 'p'", "SPL"}, {"ROLLBACK PREPARED 'p'", "SPL"},
    {"SET IMPLICIT_TRANSACTIONS ON", "S--"}, {"set ansi_defaults on", "S--"},
    // Savepoints stay; SQLite reads ROLLBACK TRANSACTION <name> as undoing everything.
    {"SAVE TRANSACTION sp1", "---"}, {"rollback transaction sp1", "-PL"},
    {"ROLLBACK TRAN [sp 1]", "-PL"}, {"ROLLBACK TRAN SELECT 1", "SPL"},
    {"RoLLBACK TO SAVEPOINT s1", "S--"}, {"rollback transaction to savepoint s1", "S--"},
    // SQL Server needs no ';': a COMMIT or ROLLBACK anywhere, and other dialects' clauses
    // are no reason to let it pass. END only closes a block there.
    {"SET NOCOUNT ON COMMIT", "S--"}, {"SET XACT_ABORT ON COMMIT TRAN", "S--"},
    {"select 1 as conflict ROLLBACK", "S--"}, {"IF @@TRANCOUNT > 0 COMMIT", "S--"},
    {"insert or rollback into t values (1)", "S--"},
    {"create temp table x (a int) on commit drop", "S--"},
    {"select 1 as case; end", "-PL"}, {"select 1 as begin, 2; end transaction", "-PL"},
    // Every statement of a line counts, and only a statement's first words.
    {"select 1; commit", "SPL"}, {"select case when a then 1 end; Commit", "SPL"},
    {"select * from t order by begin", "---"}, {"select case when a > 0 then 1 end from t", "---"},
    {"update t set a = t.commit", "---"}, {"select t.end, t.begin from t", "---"},
    {"select @commit, #rollback", "---"},
    // Strings, quoted names and comments hide what they hold, each dialect its own.
    {"select 'it''s; commit'", "---"}, {"select 'C:\\'; commit", "SPL"},
    {"select E'it\\'s; commit'", "S-L"}, {"select 1 as \"; commit; --\"", "---"},
    {"select [a]]; commit; --] from t", "-PL"}, {"select `x; commit` from t", "SP-"},
    {"select (array[1,2])[length(']')]; commit; select 'x'", "-P-"},
    {"select $$; commit; $$", "S-L"}, {"select $x$; commit; $x$", "S-L"},
    {"select 1 -- ; commit", "---"}, {"/* /* */ commit; -- */", "--L"},
    // A definition runs none of its body now; after the body, a statement counts again.
    {"CREATE PROCEDURE p AS BEGIN TRAN; UPDATE t SET a = 1; COMMIT END", "-PL"},
    {"create or alter trigger tr on t after insert as rollback", "---"},
    {"alter proc p as if @@trancount > 0 commit", "---"},
    {"create trigger tr after insert on t begin select case when new.a > 1 then "
     "raise(rollback, 'x') end; end", "-P-"},
    {"create trigger tr after insert on t begin select 1; end; commit", "-PL"},
    {"create function f() returns int language sql begin atomic select 1; end", "--L"},
    {"create function f() returns int language sql begin atomic select case when true "
     "then 1 end; end; end", "-PL"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Lines, TransactionScanTest, ::testing::ValuesIn(kCases));

TEST(TransactionScanTest, DialectFollowsTheServersName) {
    EXPECT_EQ(dialectOfServer("Microsoft SQL Server"), SqlDialect::SqlServer);
    EXPECT_EQ(dialectOfServer("PostgreSQL"), SqlDialect::PostgreSql);
    EXPECT_EQ(dialectOfServer("SQLite"), SqlDialect::Sqlite);
    EXPECT_EQ(dialectOfServer(""), SqlDialect::SqlServer);
}

} // namespace
} // namespace pupdate
