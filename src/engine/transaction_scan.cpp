#include "transaction_scan.h"

#include "text.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace pupdate {

namespace {

constexpr char kCtrlZ = '\x1A';
// Bytes of a found line kept for the report, and what the report shows of it.
constexpr std::size_t kKeptRawBytes = 1024;
constexpr std::size_t kShownBytes = 200;

// Whether the letters at `at` start with `word` (lower case), ignoring ASCII letter case.
bool startsWithWord(std::string_view line, std::size_t at, std::string_view word) {
    if (line.size() - at < word.size()) {
        return false;
    }
    for (std::size_t i = 1; i < word.size(); ++i) {
        if (foldAscii(line[at + i]) != word[i]) {
            return false;
        }
    }
    return true;
}

bool isAsciiLetter(unsigned char c) {
    return static_cast<unsigned char>((c | 0x20) - 'a') < 26;
}

// Every transaction statement holds one of a few words, and a word of the language starts
// with a letter that follows something other than a letter in every reading. A line
// without such a start needs no closer look: that keeps the check of an ordinary line to
// one pass over its bytes, most of them skipped a word at a time.
bool mayHoldTransactionControl(std::string_view line) {
    const std::size_t size = line.size();
    std::size_t at = 0;
    while (at < size) {
        if (!isAsciiLetter(static_cast<unsigned char>(line[at]))) {
            ++at;
            continue;
        }
        bool found = false;
        switch (line[at] | 0x20) {
        case 'a':
            found = startsWithWord(line, at, "abort") || startsWithWord(line, at, "ansi_defaults");
            break;
        case 'b':
            found = startsWithWord(line, at, "begin");
            break;
        case 'c':
            found = startsWithWord(line, at, "commit");
            break;
        case 'e':
            found = startsWithWord(line, at, "end");
            break;
        case 'i':
            found = startsWithWord(line, at, "implicit_transactions");
            break;
        case 'p':
            found = startsWithWord(line, at, "prepare");
            break;
        case 'r':
            found = startsWithWord(line, at, "rollback");
            break;
        case 's':
            found = startsWithWord(line, at, "start");
            break;
        default:
            break;
        }
        if (found) {
            return true;
        }
        // The rest of the word's letters start nothing.
        do {
            ++at;
        } while (at < size && isAsciiLetter(static_cast<unsigned char>(line[at])));
    }
    return false;
}

struct Token {
    enum class Kind { Word, Quoted, Semicolon, Dot, Other } kind;
    std::string_view text;
};

bool isWordByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '@' || c == '#' || c == '$' || c >= 0x80;
}

bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Splits one line into the tokens one database would see. Comments and blanks are
// dropped; strings and quoted names become single Quoted tokens.
class Lexer {
public:
    Lexer(std::string_view line, SqlDialect dialect, bool gbk)
        : m_line(line), m_dialect(dialect), m_gbk(gbk) {}

    void tokens(std::vector<Token>& out) {
        out.clear();
        while (m_at < m_line.size()) {
            const std::size_t start = m_at;
            const unsigned char c = byte(m_at);
            const unsigned char next = m_at + 1 < m_line.size() ? byte(m_at + 1) : 0;
            if (c <= 0x20) {
                ++m_at;
            } else if (c == '-' && next == '-') {
                return; // the rest of the line is a comment
            } else if (c == '/' && next == '*') {
                skipBlockComment();
            } else if (c == '\'') {
                skipQuoted('\'', false);
                out.push_back({Token::Kind::Quoted, slice(start)});
            } else if (c == '"') {
                skipQuoted('"', false);
                out.push_back({Token::Kind::Quoted, slice(start)});
            } else if (c == '[' && m_dialect != SqlDialect::PostgreSql) {
                // A quoted name in SQL Server ("]]" stands for "]") and in SQLite (which
                // knows no escape in it). In PostgreSQL '[' opens a subscript, whose
                // strings and words are read as they stand.
                skipQuoted(']', false, m_dialect == SqlDialect::SqlServer);
                out.push_back({Token::Kind::Quoted, slice(start)});
            } else if (c == '`' && m_dialect == SqlDialect::Sqlite) {
                skipQuoted('`', false);
                out.push_back({Token::Kind::Quoted, slice(start)});
            } else if (c == '$' && m_dialect == SqlDialect::PostgreSql && skipDollarQuoted()) {
                out.push_back({Token::Kind::Quoted, slice(start)});
            } else if (c == ';') {
                ++m_at;
                out.push_back({Token::Kind::Semicolon, slice(start)});
            } else if (c == '.') {
                ++m_at;
                out.push_back({Token::Kind::Dot, slice(start)});
            } else if (isDigit(c)) {
                // A number ends where its digits do: SQL Server reads "1commit" as 1 and
                // COMMIT.
                skipNumber();
                out.push_back({Token::Kind::Other, slice(start)});
            } else if (isWordByte(c)) {
                skipWord();
                const std::string_view word = slice(start);
                // PostgreSQL's E'...' takes backslash escapes.
                if (m_dialect == SqlDialect::PostgreSql && m_at < m_line.size() &&
                    byte(m_at) == '\'' && equalsIgnoringAsciiCase(word, "e")) {
                    skipQuoted('\'', true);
                    out.push_back({Token::Kind::Quoted, slice(start)});
                } else {
                    out.push_back({Token::Kind::Word, word});
                }
            } else {
                advance();
                out.push_back({Token::Kind::Other, slice(start)});
            }
        }
    }

private:
    unsigned char byte(std::size_t at) const { return static_cast<unsigned char>(m_line[at]); }
    std::string_view slice(std::size_t start) const { return m_line.substr(start, m_at - start); }
    // One character: in GBK a byte from 0x81 up takes the byte after it along.
    void advance() { m_at += m_gbk && byte(m_at) >= 0x81 && m_at + 1 < m_line.size() ? 2 : 1; }

    void skipBlockComment() {
        // SQL Server and PostgreSQL nest block comments, SQLite does not. One that is not
        // closed runs to the end of the line.
        const bool nested = m_dialect != SqlDialect::Sqlite;
        int depth = 0;
        while (m_at < m_line.size()) {
            const unsigned char c = byte(m_at);
            const unsigned char next = m_at + 1 < m_line.size() ? byte(m_at + 1) : 0;
            if (c == '/' && next == '*' && (nested || depth == 0)) {
                ++depth;
                m_at += 2;
            } else if (c == '*' && next == '/') {
                m_at += 2;
                if (--depth == 0) {
                    return;
                }
            } else {
                advance();
            }
        }
    }

    // From an opening quote to its closing one; the closing character doubled stands for
    // itself unless `doubled` is false. Not closed: to the end of the line.
    void skipQuoted(unsigned char close, bool backslashEscapes, bool doubled = true) {
        ++m_at; // the opening quote
        while (m_at < m_line.size()) {
            const unsigned char c = byte(m_at);
            if (backslashEscapes && c == '\\') {
                ++m_at;
                if (m_at < m_line.size()) {
                    advance();
                }
            } else if (c == close) {
                ++m_at;
                if (doubled && m_at < m_line.size() && byte(m_at) == close) {
                    ++m_at;
                } else {
                    return;
                }
            } else {
                advance();
            }
        }
    }

    // PostgreSQL's $tag$...$tag$ (the tag may be empty). False, nothing consumed, when
    // the '$' opens no such string ($1 is a parameter).
    bool skipDollarQuoted() {
        std::size_t end = m_at + 1;
        while (end < m_line.size() && byte(end) != '$') {
            const unsigned char c = byte(end);
            const bool tagByte = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                                 c >= 0x80 || (end > m_at + 1 && isDigit(c));
            if (!tagByte) {
                return false;
            }
            ++end;
        }
        if (end >= m_line.size()) {
            return false;
        }
        const std::string_view tag = m_line.substr(m_at, end + 1 - m_at);
        const std::size_t close = m_line.find(tag, end + 1);
        m_at = close == std::string_view::npos ? m_line.size() : close + tag.size();
        return true;
    }

    void skipNumber() {
        if (byte(m_at) == '0' && m_at + 1 < m_line.size() && foldAscii(m_line[m_at + 1]) == 'x') {
            m_at += 2;
            while (m_at < m_line.size() && std::isxdigit(byte(m_at)) != 0) {
                ++m_at;
            }
            return;
        }
        while (m_at < m_line.size() && (isDigit(byte(m_at)) || byte(m_at) == '.')) {
            ++m_at;
        }
        if (m_at < m_line.size() && foldAscii(m_line[m_at]) == 'e') {
            std::size_t exponent = m_at + 1;
            if (exponent < m_line.size() && (m_line[exponent] == '+' || m_line[exponent] == '-')) {
                ++exponent;
            }
            if (exponent < m_line.size() && isDigit(byte(exponent))) {
                m_at = exponent;
                while (m_at < m_line.size() && isDigit(byte(m_at))) {
                    ++m_at;
                }
            }
        }
    }

    void skipWord() {
        while (m_at < m_line.size() && isWordByte(byte(m_at))) {
            advance();
        }
    }

    std::string_view m_line;
    SqlDialect m_dialect;
    bool m_gbk;
    std::size_t m_at = 0;
};

// SQL Server's reserved words: after ROLLBACK TRAN, one of them starts the next statement
// rather than naming a savepoint.
constexpr std::string_view kSqlServerReserved =
    " add all alter and any as asc authorization backup begin between break browse bulk "
    "by cascade case check checkpoint close clustered coalesce collate column commit "
    "compute constraint contains containstable continue convert create cross current "
    "current_date current_time current_timestamp current_user cursor database dbcc "
    "deallocate declare default delete deny desc disk distinct distributed double drop "
    "dump else end errlvl escape except exec execute exists exit external fetch file "
    "fillfactor for foreign freetext freetexttable from full function goto grant group "
    "having holdlock identity identity_insert identitycol if in index inner insert "
    "intersect into is join key kill left like lineno load merge national nocheck "
    "nonclustered not null nullif of off offsets on open opendatasource openquery "
    "openrowset openxml option or order outer over percent pivot plan precision primary "
    "print proc procedure public raiserror read readtext reconfigure references "
    "replication restore restrict return revert revoke right rollback rowcount rowguidcol "
    "rule save schema securityaudit select semantickeyphrasetable "
    "semanticsimilaritydetailstable semanticsimilaritytable session_user set setuser "
    "shutdown some statistics system_user table tablesample textsize then to top tran "
    "transaction trigger truncate try_convert tsequal union unique unpivot update "
    "updatetext use user values varying view waitfor when where while with within "
    "writetext ";

bool isSqlServerReserved(std::string_view word) {
    std::string key = " ";
    key += foldAsciiCase(word);
    key += ' ';
    return kSqlServerReserved.find(key) != std::string_view::npos;
}

// Reads the tokens of one line as statements of one dialect.
class LineStatements {
public:
    LineStatements(const std::vector<Token>& tokens, SqlDialect dialect)
        : m_tokens(tokens), m_dialect(dialect) {}

    bool holdTransactionControl() const {
        return m_dialect == SqlDialect::SqlServer ? sqlServerHolds() : splitStatementsHold();
    }

private:
    // A word of the language: not a string, not a quoted name, not a qualified name's part
    // (t.commit).
    bool wordAt(std::size_t k, std::string_view keyword) const {
        return k < m_tokens.size() && m_tokens[k].kind == Token::Kind::Word &&
               (k == 0 || m_tokens[k - 1].kind != Token::Kind::Dot) &&
               equalsIgnoringAsciiCase(m_tokens[k].text, keyword);
    }
    bool wordAt(std::size_t k, std::initializer_list<std::string_view> keywords) const {
        return std::any_of(keywords.begin(), keywords.end(),
                           [&](std::string_view keyword) { return wordAt(k, keyword); });
    }

    // SQL Server needs no ';' between statements, so a COMMIT or ROLLBACK ends the
    // transaction wherever it stands ("SET NOCOUNT ON COMMIT" is two statements), and
    // END only closes a block. A line that defines a procedure, trigger or function runs
    // none of its body now: what the body does with transactions happens when it is
    // called, inside the levels the run holds.
    bool sqlServerHolds() const {
        if (definesSqlServerObject()) {
            return false;
        }
        for (std::size_t k = 0; k < m_tokens.size(); ++k) {
            if (wordAt(k, "commit")) {
                return true;
            }
            if (wordAt(k, "rollback") && !rollsBackToSqlServerSavepoint(k)) {
                return true;
            }
            if (wordAt(k, "begin") && wordAt(k + 1, {"tran", "transaction", "distributed"})) {
                return true;
            }
            // Both make every later statement open a transaction of its own.
            if (wordAt(k, {"implicit_transactions", "ansi_defaults"})) {
                return true;
            }
        }
        return false;
    }

    // CREATE [OR ALTER] or ALTER, then PROC[EDURE], TRIGGER or FUNCTION, as the line's
    // first statement (SQL Server takes such a definition only at the start of a batch).
    bool definesSqlServerObject() const {
        std::size_t k = 0;
        while (k < m_tokens.size() && m_tokens[k].kind == Token::Kind::Semicolon) {
            ++k;
        }
        if (wordAt(k, "create")) {
            k += wordAt(k + 1, "or") && wordAt(k + 2, "alter") ? 3 : 1;
        } else if (wordAt(k, "alter")) {
            ++k;
        } else {
            return false;
        }
        return wordAt(k, {"proc", "procedure", "trigger", "function"});
    }

    // ROLLBACK TRAN[SACTION] <savepoint>: the transaction stays open. The run's levels have
    // no name, so no name can roll them back. A reserved word after it starts the next
    // statement instead.
    bool rollsBackToSqlServerSavepoint(std::size_t k) const {
        if (!wordAt(k + 1, {"tran", "transaction"}) || k + 2 >= m_tokens.size()) {
            return false;
        }
        const Token& name = m_tokens[k + 2];
        return name.kind == Token::Kind::Quoted ||
               (name.kind == Token::Kind::Word && !isSqlServerReserved(name.text));
    }

    // PostgreSQL and SQLite end a statement at ';' (outside the body of a definition);
    // a statement's first words say what it does, so a column named begin or end, or
    // CASE ... END, is nothing.
    bool splitStatementsHold() const {
        std::size_t k = 0;
        while (k < m_tokens.size()) {
            if (m_tokens[k].kind == Token::Kind::Semicolon) {
                ++k;
                continue;
            }
            if (m_dialect == SqlDialect::PostgreSql ? postgresStatementHolds(k)
                                                    : sqliteStatementHolds(k)) {
                return true;
            }
            k = statementEnd(k);
        }
        return false;
    }

    bool postgresStatementHolds(std::size_t k) const {
        if (wordAt(k, {"commit", "end", "abort", "begin"})) {
            return true; // COMMIT PREPARED too
        }
        if (wordAt(k, "rollback")) {
            const std::size_t next = wordAt(k + 1, {"work", "transaction"}) ? k + 2 : k + 1;
            return !wordAt(next, "to"); // ROLLBACK PREPARED too
        }
        return wordAt(k, {"start", "prepare"}) && wordAt(k + 1, "transaction");
    }

    bool sqliteStatementHolds(std::size_t k) const {
        if (wordAt(k, {"begin", "commit", "end"})) {
            return true;
        }
        if (wordAt(k, "rollback")) {
            // ROLLBACK TRANSACTION name rolls back everything: the name is ignored.
            const std::size_t next = wordAt(k + 1, "transaction") ? k + 2 : k + 1;
            return !wordAt(next, "to");
        }
        return false;
    }

    // The token after the statement that starts at `k`: its ';' or the end of the line.
    // A definition with a body of statements (PostgreSQL's BEGIN ATOMIC, a SQLite
    // trigger's BEGIN ... END) ends after the END that closes the body; inside the body,
    // CASE opens and END closes.
    std::size_t statementEnd(std::size_t k) const {
        const bool definition = wordAt(k, "create");
        bool trigger = false;
        int depth = 0;
        for (; k < m_tokens.size(); ++k) {
            if (m_tokens[k].kind == Token::Kind::Semicolon && depth == 0) {
                return k;
            }
            if (!definition) {
                continue;
            }
            trigger = trigger || wordAt(k, "trigger");
            if (depth == 0 && wordAt(k, "begin") &&
                (m_dialect == SqlDialect::PostgreSql ? wordAt(k + 1, "atomic") : trigger)) {
                ++depth;
            } else if (depth > 0 && wordAt(k, "case")) {
                ++depth;
            } else if (depth > 0 && wordAt(k, "end")) {
                --depth;
            }
        }
        return k;
    }

    const std::vector<Token>& m_tokens;
    SqlDialect m_dialect;
};

bool holdsInDialect(std::string_view line, SqlDialect dialect, bool gbk,
                    std::vector<Token>& tokens) {
    Lexer(line, dialect, gbk).tokens(tokens);
    return LineStatements(tokens, dialect).holdTransactionControl();
}

// A found line for the report: decoded, or with every byte that does not decode shown
// as '?'; blanks trimmed; shortened.
std::string shownLine(std::string_view raw, TextEncoding encoding, bool cut) {
    std::string text;
    bool decoded = false;
    // A line cut for keeping may have lost part of its last character.
    for (std::size_t drop = 0; drop <= (cut ? 3u : 0u) && drop < raw.size() && !decoded; ++drop) {
        try {
            text = decodeLine(raw.substr(0, raw.size() - drop), encoding);
            decoded = true;
        } catch (const CodePageError&) {
        }
    }
    if (!decoded) {
        text.clear();
        const bool wide = encoding == TextEncoding::Utf16Le || encoding == TextEncoding::Utf16Be;
        for (std::size_t i = 0; i < raw.size(); i += wide ? 2 : 1) {
            const unsigned unit =
                wide ? (i + 1 < raw.size()
                            ? utf16Unit(raw.data() + i, encoding == TextEncoding::Utf16Be)
                            : 0xFFFFu)
                     : static_cast<unsigned char>(raw[i]);
            text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
        }
    }
    std::string shown(trimBlanks(text));
    if (shown.size() > kShownBytes || cut) {
        std::size_t end = std::min(shown.size(), kShownBytes);
        while (end > 0 && end < shown.size() &&
               (static_cast<unsigned char>(shown[end]) & 0xC0) == 0x80) {
            --end;
        }
        shown.resize(end);
        shown += "……";
    }
    return shown;
}

} // namespace

SqlDialect dialectOfServer(std::string_view dbmsName) {
    if (dbmsName.find("PostgreSQL") != std::string_view::npos) {
        return SqlDialect::PostgreSql;
    }
    if (dbmsName.find("SQLite") != std::string_view::npos) {
        return SqlDialect::Sqlite;
    }
    return SqlDialect::SqlServer;
}

bool holdsTransactionControl(std::string_view line, SqlDialect dialect, bool gbk) {
    if (!mayHoldTransactionControl(line)) {
        return false;
    }
    std::vector<Token> tokens;
    return holdsInDialect(line, dialect, gbk, tokens);
}

bool isBatchSeparator(std::string_view line) {
    std::vector<Token> tokens;
    Lexer(line, SqlDialect::SqlServer, false).tokens(tokens);
    const bool go = !tokens.empty() && tokens[0].kind == Token::Kind::Word &&
                    equalsIgnoringAsciiCase(tokens[0].text, "go");
    if (!go || tokens.size() > 2) {
        return false;
    }
    // GO n repeats the batch n times.
    return tokens.size() == 1 || (tokens[1].kind == Token::Kind::Other &&
                                  std::all_of(tokens[1].text.begin(), tokens[1].text.end(),
                                              [](char c) { return isDigit(c); }));
}

std::string statementRefusedInTransaction(std::string_view line) {
    std::vector<Token> tokens;
    Lexer(line, SqlDialect::SqlServer, false).tokens(tokens);
    const auto wordAt = [&](std::size_t k, std::initializer_list<std::string_view> words) {
        return k < tokens.size() && tokens[k].kind == Token::Kind::Word &&
               std::any_of(words.begin(), words.end(), [&](std::string_view word) {
                   return equalsIgnoringAsciiCase(tokens[k].text, word);
               });
    };
    const auto upper = [&](std::size_t from, std::size_t count) {
        std::string words;
        for (std::size_t k = from; k < from + count; ++k) {
            words += (words.empty() ? "" : " ") + std::string(tokens[k].text);
        }
        for (char& c : words) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return words;
    };
    bool atStart = true;
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        const bool startsStatement = atStart;
        atStart = tokens[k].kind == Token::Kind::Semicolon;
        // A qualified name (dbo.backup) is a name.
        if (tokens[k].kind != Token::Kind::Word ||
            (k > 0 && tokens[k - 1].kind == Token::Kind::Dot)) {
            continue;
        }
        if (wordAt(k, {"create", "alter", "drop"})) {
            if (wordAt(k + 1, {"database"})) {
                return upper(k, 2);
            }
            if (wordAt(k + 1, {"fulltext"}) && wordAt(k + 2, {"catalog", "index"})) {
                return upper(k, 3);
            }
        } else if (wordAt(k, {"backup"}) && wordAt(k + 1, {"database", "log"})) {
            return upper(k, 2);
        } else if (wordAt(k, {"restore"}) &&
                   wordAt(k + 1, {"database", "log", "filelistonly", "headeronly", "labelonly",
                                  "rewindonly", "verifyonly"})) {
            return upper(k, 2);
        } else if (startsStatement && wordAt(k, {"reconfigure"})) {
            return upper(k, 1);
        }
    }
    return std::string();
}

TransactionStatementScan::TransactionStatementScan(std::optional<TextEncoding> marked,
                                                   SqlDialect dialect)
    : m_dialect(dialect), m_marked(marked),
      m_wide(marked == TextEncoding::Utf16Le || marked == TextEncoding::Utf16Be),
      m_bigEndian(marked == TextEncoding::Utf16Be) {}

bool TransactionStatementScan::done() const {
    return m_stopped || (m_bytes && (m_gbk || m_marked));
}

void TransactionStatementScan::feed(std::string_view bytes) {
    if (done()) {
        return;
    }
    if (m_wide) {
        feedWide(bytes);
        return;
    }
    // Ctrl-Z ends the file: nothing after it is run.
    if (const void* stop = std::memchr(bytes.data(), kCtrlZ, bytes.size())) {
        bytes = bytes.substr(
            0, static_cast<std::size_t>(static_cast<const char*>(stop) - bytes.data()));
        m_stopped = true;
    }
    std::size_t at = 0;
    while (at < bytes.size()) {
        const void* feedAt = std::memchr(bytes.data() + at, '\n', bytes.size() - at);
        if (feedAt == nullptr) {
            m_carry.append(bytes.substr(at));
            break;
        }
        const std::size_t end =
            static_cast<std::size_t>(static_cast<const char*>(feedAt) - bytes.data());
        if (m_carry.empty()) {
            const std::string_view line = bytes.substr(at, end - at);
            scanLine(line, line);
        } else {
            m_carry.append(bytes.substr(at, end - at));
            scanLine(m_carry, m_carry);
            m_carry.clear();
        }
        ++m_line;
        at = end + 1;
    }
    if (m_stopped) {
        endLine();
    }
}

void TransactionStatementScan::feedWide(std::string_view bytes) {
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
        const unsigned unit = utf16Unit(bytes.data() + at, m_bigEndian);
        if (unit == static_cast<unsigned char>(kCtrlZ)) {
            m_stopped = true;
            endLine();
            return;
        }
        if (unit == '\n') {
            scanLine(m_carry, m_carryRaw);
            m_carry.clear();
            m_carryRaw.clear();
            ++m_line;
            continue;
        }
        if (unit == '\r') {
            continue;
        }
        // Every character outside ASCII stands as one byte that is part of a word.
        m_carry.push_back(unit < 0x80 ? static_cast<char>(unit) : '\x80');
        if (m_carryRaw.size() < kKeptRawBytes) {
            m_carryRaw.append(bytes.substr(at, 2));
        }
    }
}

void TransactionStatementScan::endLine() {
    if (!m_carry.empty()) {
        scanLine(m_carry, m_wide ? std::string_view(m_carryRaw) : std::string_view(m_carry));
    }
    m_carry.clear();
    m_carryRaw.clear();
}

void TransactionStatementScan::scanLine(std::string_view line, std::string_view raw) {
    if (m_bytes && (m_gbk || m_marked)) {
        return;
    }
    // The line runner drops every CR.
    std::string withoutCr;
    while (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.find('\r') != std::string_view::npos) {
        withoutCr.reserve(line.size());
        std::copy_if(line.begin(), line.end(), std::back_inserter(withoutCr),
                     [](char c) { return c != '\r'; });
        line = withoutCr;
    }
    if (!m_wide) {
        raw = line;
    }
    if (!mayHoldTransactionControl(line) || line.find('\0') != std::string_view::npos) {
        return;
    }
    const auto found = [&] {
        return Found{m_line, std::string(raw.substr(0, std::min(raw.size(), kKeptRawBytes)))};
    };
    std::optional<bool> asBytes;
    const auto holdsAsBytes = [&] {
        if (!asBytes) {
            asBytes = holdsTransactionControl(line, m_dialect, false);
        }
        return *asBytes;
    };
    if (!m_bytes && holdsAsBytes()) {
        m_bytes = found();
    }
    // GBK pairs change the reading only of lines with bytes above 0x7F.
    if (!m_marked && !m_gbk &&
        (hasNonAscii(line) ? holdsTransactionControl(line, m_dialect, true) : holdsAsBytes())) {
        m_gbk = found();
    }
}

std::optional<TransactionStatement> TransactionStatementScan::finish(TextEncoding encoding) {
    if (!m_stopped) {
        endLine();
    }
    const std::optional<Found>& found =
        encoding == TextEncoding::Gbk && !m_marked ? m_gbk : m_bytes;
    if (!found) {
        return std::nullopt;
    }
    return TransactionStatement{
        found->line, shownLine(found->raw, encoding, found->raw.size() >= kKeptRawBytes)};
}

} // namespace pupdate
