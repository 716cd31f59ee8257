#include "odbc.h"

#include "code_page.h"
#include "odbc_character_type.h"

#include <algorithm>
#include <limits>
#include <sql.h>
#include <sqlext.h>
#include <utility>

// On Windows the build puts <windows.h> before everything else here (CMakeLists.txt):
// Windows' sql.h builds on its types without including it.

namespace pupdate::odbc {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16");

namespace {

SQLWCHAR* wide(std::u16string& text) {
    return reinterpret_cast<SQLWCHAR*>(text.data());
}

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// The first diagnostic record of a handle as an exception; `what` names the failed call
// for the rare case that the driver left no record.
OdbcError diagnostic(SQLSMALLINT handleType, SQLHANDLE handle, const char* what) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::u16string message(512, u'\0');
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQL_ERROR;
    if (handle != SQL_NULL_HANDLE) {
        rc = SQLGetDiagRecW(handleType, handle, 1, state, &native, wide(message),
                            static_cast<SQLSMALLINT>(message.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
            message.assign(static_cast<std::size_t>(length) + 1, u'\0');
            rc = SQLGetDiagRecW(handleType, handle, 1, state, &native, wide(message),
                                static_cast<SQLSMALLINT>(message.size()), &length);
        }
    }
    if (!succeeded(rc)) {
        return OdbcError(std::string(what) + " failed without a diagnostic record", "HY000", 0);
    }
    message.resize(std::min<std::size_t>(static_cast<std::size_t>(length), message.size()));
    std::u16string sqlState(reinterpret_cast<const char16_t*>(state), 5);
    sqlState.resize(std::char_traits<char16_t>::length(sqlState.c_str()));
    return OdbcError(utf16ToUtf8(message), utf16ToUtf8(sqlState), native);
}

void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* what) {
    if (!succeeded(rc)) {
        throw diagnostic(handleType, handle, what);
    }
}

[[noreturn]] void throwNotOpen() {
    throw OdbcError("The connection is not open.", "08003", 0);
}

} // namespace

// The driver manager's environment, one for every connection of the program.
class Environment {
public:
    Environment() {
        SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env);
        if (!succeeded(rc)) {
            throw OdbcError("Cannot allocate the ODBC environment.", "HY001", 0);
        }
        rc = SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                           0);
        if (!succeeded(rc)) {
            OdbcError error = diagnostic(SQL_HANDLE_ENV, m_env, "SQLSetEnvAttr");
            SQLFreeHandle(SQL_HANDLE_ENV, m_env);
            throw error;
        }
    }
    ~Environment() { SQLFreeHandle(SQL_HANDLE_ENV, m_env); }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    SQLHENV handle() const { return m_env; }

    // Made on first use and kept for the program's life, so that drivers stay loaded
    // between connections; every connection holds it until it is destroyed.
    static std::shared_ptr<Environment> shared() {
        static const std::shared_ptr<Environment> environment = std::make_shared<Environment>();
        return environment;
    }

private:
    SQLHENV m_env = SQL_NULL_HENV;
};

struct Connection::Handles {
    SQLHDBC dbc = SQL_NULL_HDBC;
    // One statement handle for every command of the connection, closed between uses.
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    // The UTF-16 text of the last statement.
    std::u16string text;
    // Reused buffer for reading column values in pieces.
    std::u16string piece = std::u16string(2048, u'\0');
};

namespace {

// Closes the statement's cursor and unbinds its parameters whatever way a command ends.
class StatementUse {
public:
    explicit StatementUse(SQLHSTMT stmt) : m_stmt(stmt) {}
    ~StatementUse() {
        SQLFreeStmt(m_stmt, SQL_CLOSE);
        if (m_parameters) {
            SQLFreeStmt(m_stmt, SQL_RESET_PARAMS);
        }
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;
    void usesParameters() { m_parameters = true; }

private:
    SQLHSTMT m_stmt;
    bool m_parameters = false;
};

// Reads one column of the current row as text, piece by piece, so that long values are
// read whole.
Value readColumn(SQLHSTMT stmt, SQLUSMALLINT column, std::u16string& piece) {
    std::u16string value;
    const SQLLEN pieceBytes = static_cast<SQLLEN>(piece.size() * sizeof(char16_t));
    const std::size_t pieceChars = piece.size() - 1; // the driver ends every piece with a zero
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc =
            SQLGetData(stmt, column, SQL_C_WCHAR, wide(piece), pieceBytes, &indicator);
        if (rc == SQL_NO_DATA) {
            break;
        }
        check(rc, SQL_HANDLE_STMT, stmt, "SQLGetData");
        if (indicator == SQL_NULL_DATA) {
            return std::nullopt;
        }
        std::size_t chars = pieceChars;
        if (indicator != SQL_NO_TOTAL) {
            chars = std::min(pieceChars, static_cast<std::size_t>(indicator) / sizeof(char16_t));
        }
        value.append(piece.data(), chars);
        if (rc == SQL_SUCCESS) {
            break;
        }
        // SQL_SUCCESS_WITH_INFO: the value was cut to the buffer (01004); read on.
        if (indicator != SQL_NO_TOTAL &&
            static_cast<std::size_t>(indicator) / sizeof(char16_t) <= pieceChars) {
            break;
        }
    }
    return utf16ToUtf8(value);
}

SQLSMALLINT columnCount(SQLHSTMT stmt) {
    SQLSMALLINT columns = 0;
    check(SQLNumResultCols(stmt, &columns), SQL_HANDLE_STMT, stmt, "SQLNumResultCols");
    return columns;
}

// Moves on to the next result; false when there is none. An error in it raises.
bool nextResult(SQLHSTMT stmt) {
    const SQLRETURN rc = SQLMoreResults(stmt);
    if (rc == SQL_NO_DATA) {
        return false;
    }
    check(rc, SQL_HANDLE_STMT, stmt, "SQLMoreResults");
    return true;
}

// Fetches the next row; false at the end of the result set.
bool fetch(SQLHSTMT stmt) {
    const SQLRETURN rc = SQLFetch(stmt);
    if (rc == SQL_NO_DATA) {
        return false;
    }
    check(rc, SQL_HANDLE_STMT, stmt, "SQLFetch");
    return true;
}

void setStatementAttribute(SQLHSTMT stmt, SQLINTEGER attribute, SQLULEN value) {
    const SQLRETURN rc =
        SQLSetStmtAttr(stmt, attribute, reinterpret_cast<SQLPOINTER>(value), SQL_IS_UINTEGER);
    if (!succeeded(rc)) {
        // A driver without the option (the SQLite driver answers IM001) keeps its own
        // way for it; only a refusal of another kind is an error.
        OdbcError error = diagnostic(SQL_HANDLE_STMT, stmt, "SQLSetStmtAttr");
        const std::string& state = error.sqlState();
        if (state != "HYC00" && state != "HY092" && state != "IM001") {
            throw error;
        }
    }
}

} // namespace

Connection::Connection() : m_handles(std::make_unique<Handles>()) {}

Connection::~Connection() {
    close();
}

bool Connection::isOpen() const {
    return m_handles->dbc != SQL_NULL_HDBC;
}

void Connection::open(const std::string& connectionString) {
    close();
    if (!m_environment) {
        m_environment = Environment::shared();
    }
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLRETURN rc = SQL_ERROR;
    {
        Utf8CharacterType utf8;
        rc = SQLAllocHandle(SQL_HANDLE_DBC, m_environment->handle(), &dbc);
    }
    check(rc, SQL_HANDLE_ENV, m_environment->handle(), "SQLAllocHandle");

    auto release = [&dbc](bool connected) {
        if (connected) {
            SQLDisconnect(dbc);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    };

    rc = SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(60),
                           SQL_IS_UINTEGER);
    if (!succeeded(rc)) {
        OdbcError error = diagnostic(SQL_HANDLE_DBC, dbc, "SQLSetConnectAttr");
        release(false);
        throw error;
    }

    std::u16string text = utf8ToUtf16(connectionString);
    SQLSMALLINT completedLength = 0;
    std::u16string completed(1024, u'\0');
    rc = SQLDriverConnectW(dbc, nullptr, wide(text), static_cast<SQLSMALLINT>(text.size()),
                           wide(completed), static_cast<SQLSMALLINT>(completed.size()),
                           &completedLength, SQL_DRIVER_NOPROMPT);
    if (!succeeded(rc)) {
        OdbcError error = diagnostic(SQL_HANDLE_DBC, dbc, "SQLDriverConnect");
        release(false);
        throw error;
    }

    SQLHSTMT stmt = SQL_NULL_HSTMT;
    rc = SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    if (!succeeded(rc)) {
        OdbcError error = diagnostic(SQL_HANDLE_DBC, dbc, "SQLAllocHandle");
        release(true);
        throw error;
    }
    try {
        // Statement texts go to the server as written: no escape clauses, no time-out.
        setStatementAttribute(stmt, SQL_ATTR_NOSCAN, SQL_NOSCAN_ON);
        setStatementAttribute(stmt, SQL_ATTR_QUERY_TIMEOUT, 0);
    } catch (...) {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        release(true);
        throw;
    }
    m_handles->dbc = dbc;
    m_handles->stmt = stmt;
    m_transactionLevel = 0;
}

void Connection::close() {
    if (!isOpen()) {
        return;
    }
    if (m_transactionLevel > 0) {
        // Errors ignored: the connection goes away in any case.
        SQLEndTran(SQL_HANDLE_DBC, m_handles->dbc, SQL_ROLLBACK);
        m_transactionLevel = 0;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, m_handles->stmt);
    SQLDisconnect(m_handles->dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, m_handles->dbc);
    m_handles->stmt = SQL_NULL_HSTMT;
    m_handles->dbc = SQL_NULL_HDBC;
}

void Connection::beginTrans() {
    if (!isOpen()) {
        throwNotOpen();
    }
    const SQLRETURN rc =
        SQLSetConnectAttr(m_handles->dbc, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
    check(rc, SQL_HANDLE_DBC, m_handles->dbc, "SQLSetConnectAttr");
    m_transactionLevel = 1;
}

namespace {

// Ends the transaction, then turns autocommit back on. The order matters: some drivers
// (FreeTDS) roll back what is open when autocommit is switched on.
void endTransaction(SQLHDBC dbc, SQLSMALLINT completion) {
    check(SQLEndTran(SQL_HANDLE_DBC, dbc, completion), SQL_HANDLE_DBC, dbc, "SQLEndTran");
    const SQLRETURN rc = SQLSetConnectAttr(
        dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
    check(rc, SQL_HANDLE_DBC, dbc, "SQLSetConnectAttr");
}

} // namespace

bool Connection::isDead() const {
    if (!isOpen()) {
        return true;
    }
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN rc = SQLGetConnectAttr(m_handles->dbc, SQL_ATTR_CONNECTION_DEAD, &dead,
                                           SQL_IS_UINTEGER, nullptr);
    // A driver that cannot tell is taken at its word that the connection lives.
    return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
}

void Connection::commitTrans() {
    if (!isOpen()) {
        throwNotOpen();
    }
    // Some drivers (psqlODBC) answer a commit on a lost connection with success, although
    // the server has rolled the transaction back: never take that for a commit.
    if (m_transactionLevel > 0 && isDead()) {
        throw OdbcError("the connection to the database was lost; the transaction was not "
                        "committed",
                        "08S01", 0);
    }
    endTransaction(m_handles->dbc, SQL_COMMIT);
    m_transactionLevel = 0;
}

void Connection::rollbackTrans() {
    if (!isOpen()) {
        throwNotOpen();
    }
    endTransaction(m_handles->dbc, SQL_ROLLBACK);
    m_transactionLevel = 0;
}

void Connection::execute(const std::string& sql) {
    if (!isOpen()) {
        throwNotOpen();
    }
    Handles& h = *m_handles;
    h.text = utf8ToUtf16(sql);
    const SQLRETURN rc =
        SQLExecDirectW(h.stmt, wide(h.text), static_cast<SQLINTEGER>(h.text.size()));
    // SQL_NO_DATA: a searched update or delete that touched no row, which is success;
    // a batch may still have results after it.
    if (!succeeded(rc) && rc != SQL_NO_DATA) {
        OdbcError error = diagnostic(SQL_HANDLE_STMT, h.stmt, "SQLExecDirect");
        SQLFreeStmt(h.stmt, SQL_CLOSE);
        throw error;
    }
    // Every further result is looked at, so that an error in any of them is not lost.
    // Once SQLMoreResults says there is no more, the statement is closed already.
    for (;;) {
        const SQLRETURN more = SQLMoreResults(h.stmt);
        if (more == SQL_NO_DATA) {
            return;
        }
        if (!succeeded(more)) {
            OdbcError error = diagnostic(SQL_HANDLE_STMT, h.stmt, "SQLMoreResults");
            SQLFreeStmt(h.stmt, SQL_CLOSE);
            throw error;
        }
    }
}

std::optional<Row> Connection::queryFirstRow(const std::string& sql) {
    std::vector<Row> rows = query(sql, 1);
    if (rows.empty()) {
        return std::nullopt;
    }
    return std::move(rows.front());
}

std::vector<Row> Connection::queryAll(const std::string& sql) {
    return query(sql, std::numeric_limits<std::size_t>::max());
}

std::vector<Row> Connection::query(const std::string& sql, std::size_t maxRows) {
    if (!isOpen()) {
        throwNotOpen();
    }
    Handles& h = *m_handles;
    StatementUse use(h.stmt);
    h.text = utf8ToUtf16(sql);
    std::vector<Row> rows;
    const SQLRETURN rc =
        SQLExecDirectW(h.stmt, wide(h.text), static_cast<SQLINTEGER>(h.text.size()));
    if (rc == SQL_NO_DATA) {
        return rows;
    }
    check(rc, SQL_HANDLE_STMT, h.stmt, "SQLExecDirect");
    // Results without columns (row counts) come before the rows on some servers.
    SQLSMALLINT columns = columnCount(h.stmt);
    while (columns == 0) {
        if (!nextResult(h.stmt)) {
            return rows;
        }
        columns = columnCount(h.stmt);
    }
    while (rows.size() < maxRows && fetch(h.stmt)) {
        Row row;
        row.reserve(static_cast<std::size_t>(columns));
        for (SQLUSMALLINT column = 1; column <= static_cast<SQLUSMALLINT>(columns); ++column) {
            row.push_back(readColumn(h.stmt, column, h.piece));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> Connection::callProcedure(const std::string& name,
                                                   const std::string& parameter) {
    if (!isOpen()) {
        throwNotOpen();
    }
    Handles& h = *m_handles;
    // The call is an escape clause, so the driver has to scan this one text.
    setStatementAttribute(h.stmt, SQL_ATTR_NOSCAN, SQL_NOSCAN_OFF);
    struct ScanOffAgain {
        SQLHSTMT stmt;
        ~ScanOffAgain() {
            SQLSetStmtAttr(stmt, SQL_ATTR_NOSCAN, reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON),
                           SQL_IS_UINTEGER);
        }
    } scanOffAgain{h.stmt};
    StatementUse use(h.stmt);

    std::u16string value = utf8ToUtf16(parameter);
    SQLLEN valueBytes = static_cast<SQLLEN>(value.size() * sizeof(char16_t));
    // A string parameter is declared with 200 characters, or more when the value is
    // longer, so the value is never cut.
    const SQLULEN columnSize = std::max<SQLULEN>(200, value.size());
    value.push_back(u'\0');
    use.usesParameters();
    SQLRETURN rc = SQLBindParameter(h.stmt, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                    columnSize, 0, wide(value), valueBytes, &valueBytes);
    check(rc, SQL_HANDLE_STMT, h.stmt, "SQLBindParameter");

    std::u16string call = utf8ToUtf16("{call " + name + "(?)}");
    rc = SQLExecDirectW(h.stmt, wide(call), static_cast<SQLINTEGER>(call.size()));
    std::vector<std::string> lines;
    if (rc == SQL_NO_DATA) {
        return lines;
    }
    check(rc, SQL_HANDLE_STMT, h.stmt, "SQLExecDirect");
    do {
        if (columnCount(h.stmt) == 0) {
            continue;
        }
        while (fetch(h.stmt)) {
            Value first = readColumn(h.stmt, 1, h.piece);
            lines.push_back(first ? std::move(*first) : std::string());
        }
    } while (nextResult(h.stmt));
    return lines;
}

std::string Connection::dbmsName() {
    if (!isOpen()) {
        throwNotOpen();
    }
    std::u16string name(256, u'\0');
    SQLSMALLINT length = 0;
    const SQLRETURN rc =
        SQLGetInfoW(m_handles->dbc, SQL_DBMS_NAME, wide(name),
                    static_cast<SQLSMALLINT>(name.size() * sizeof(char16_t)), &length);
    check(rc, SQL_HANDLE_DBC, m_handles->dbc, "SQLGetInfo");
    name.resize(
        std::min<std::size_t>(static_cast<std::size_t>(length) / sizeof(char16_t), name.size()));
    return utf16ToUtf8(name);
}

} // namespace pupdate::odbc
