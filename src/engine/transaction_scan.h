#pragma once
// Statements in line-mode scripts that would begin, end or change the mode of a
// transaction. The run applies every line-mode script inside one transaction of its own;
// a script that commits, rolls back or begins one itself would split the run into parts
// that the run can neither undo together nor report truthfully. Such scripts are found
// while the check before the run reads them, before anything is changed.
//
// A line is read the way the database the run speaks to reads it. SQL Server needs no
// ';' between statements: COMMIT and ROLLBACK end the transaction wherever they stand,
// outside strings, comments and [quoted] or "quoted" names; savepoints stay allowed; a
// line that defines a procedure, trigger or function runs none of its body. PostgreSQL
// and SQLite split a line into statements at ';', and a statement's first words say what
// it does. On SQL Server the run also holds a transaction level of its own that no script
// can end (transaction_proof.h): there this scan refuses early, with a clear reason.

#include "code_page.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pupdate {

// The reading of a line: the language of the server the run speaks to.
enum class SqlDialect { SqlServer, PostgreSql, Sqlite };

// The dialect of a server by the DBMS name its driver gives; SQL Server's unless the name
// says PostgreSQL or SQLite.
SqlDialect dialectOfServer(std::string_view dbmsName);

// A line of a script that holds transaction control.
struct TransactionStatement {
    std::int64_t line = 0; // from 1, lines as the line runner reads them
    std::string text;      // the line as UTF-8, blanks trimmed, shortened when long
};

// True when one line holds transaction control as `dialect` reads it. The line is given in
// bytes where every ASCII character stands for itself: GBK or UTF-8, or UTF-16 with each
// unit above 0x7F given as one byte 0x80. With `gbk`, a byte from 0x81 up and the byte
// after it are one character.
bool holdsTransactionControl(std::string_view line, SqlDialect dialect, bool gbk);

// SQL Server's batch separator: GO alone on a line, with an optional repeat count and
// comment. osql acts on it; sent to the server as a statement it is an error. The line is
// UTF-8.
bool isBatchSeparator(std::string_view line);

// The first statement of a line that SQL Server refuses inside a user transaction: CREATE,
// ALTER or DROP DATABASE, BACKUP DATABASE or LOG, RESTORE, RECONFIGURE, and CREATE, ALTER
// or DROP FULLTEXT CATALOG or INDEX. Its leading words in upper case ("CREATE DATABASE"),
// or empty when the line holds none. Comments and strings are honoured as SQL Server reads
// them. The line is UTF-8.
std::string statementRefusedInTransaction(std::string_view line);

// Finds the first line with transaction control while a line-mode script is streamed
// once, the encoding of an unmarked file being known only at its end. Lines are split as
// the line runner splits them: at LF, every CR dropped, Ctrl-Z ending the file. A line
// holding a zero character is never run and is not looked at.
class TransactionStatementScan {
public:
    // `marked`: the encoding of the file's byte-order mark, if it has one.
    TransactionStatementScan(std::optional<TextEncoding> marked, SqlDialect dialect);
    // The next bytes of the file after its byte-order mark. UTF-16 files come in whole
    // code units.
    void feed(std::string_view bytes);
    // True when nothing more can be learned: Ctrl-Z was seen, or every reading found one.
    bool done() const;
    // The first line found when the file is read in `encoding`.
    std::optional<TransactionStatement> finish(TextEncoding encoding);

private:
    void feedWide(std::string_view bytes);
    void endLine();
    void scanLine(std::string_view line, std::string_view raw);
    void keepRaw(std::string_view raw);

    struct Found {
        std::int64_t line = 0;
        std::string raw; // the line's bytes in the file's encoding, up to a limit
    };

    SqlDialect m_dialect;
    std::optional<TextEncoding> m_marked;
    bool m_wide = false;
    bool m_bigEndian = false;
    bool m_stopped = false;       // Ctrl-Z: nothing after it is read
    std::int64_t m_line = 1;      // number of the line being assembled
    std::string m_carry;          // the line so far, when it spans pieces (or is UTF-16)
    std::string m_carryRaw;       // UTF-16: its units, up to the limit kept for the report
    bool m_lineStarted = false;   // some byte of the current line has been fed
    std::optional<Found> m_bytes; // reading every byte on its own (UTF-8, ASCII, UTF-16)
    std::optional<Found> m_gbk;   // reading GBK characters as pairs
};

} // namespace pupdate
