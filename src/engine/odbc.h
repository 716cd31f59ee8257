#pragma once
// A thin RAII layer over the ODBC driver manager (unixODBC). Every failure becomes an
// OdbcError carrying the driver's first diagnostic record. Texts cross the boundary as
// UTF-16 through the wide (W) calls; callers use UTF-8. The driver manager's own types stay
// in odbc.cpp, behind Connection::Handles.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pupdate::odbc {

class OdbcError : public std::runtime_error {
public:
    OdbcError(std::string message, std::string sqlState, long nativeCode)
        : std::runtime_error(std::move(message)), m_sqlState(std::move(sqlState)),
          m_nativeCode(nativeCode) {}
    const std::string& sqlState() const { return m_sqlState; }
    long nativeCode() const { return m_nativeCode; }

private:
    std::string m_sqlState;
    long m_nativeCode;
};

// One value of a result row; nullopt for SQL NULL.
using Value = std::optional<std::string>;
using Row = std::vector<Value>;

class Environment;

// A connection handle. Not copyable; closing (or destroying) it rolls back what is open.
class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects with an ODBC connection string; login time-out 60 s, no prompt.
    void open(const std::string& connectionString);
    // Rolls back an open transaction (errors ignored), then disconnects. No-op when closed.
    void close();
    bool isOpen() const;

    // The layer's own count of open transaction levels (0 or 1), never a question to
    // the server.
    int inTransaction() const { return m_transactionLevel; }
    // Turns autocommit off.
    void beginTrans();
    // End the transaction with SQLEndTran, then turn autocommit back on. Passed to the
    // driver whether or not a transaction is open; a refusal raises.
    void commitTrans();
    void rollbackTrans();

    // Executes the text as given (no parameter markers parsed, no time-out); every result
    // set is drained with SQLMoreResults so an error in any of them raises; rows are dropped.
    void execute(const std::string& sql);
    // Executes a query and returns its first row (nullopt when there is none).
    std::optional<Row> queryFirstRow(const std::string& sql);
    // Executes a query and returns all rows of its first result set.
    std::vector<Row> queryAll(const std::string& sql);
    // Calls `{call name(?)}` with one input string parameter bound by position, no
    // time-out. Returns the first column of every row of every result set, in order
    // (NULLs as empty strings).
    std::vector<std::string> callProcedure(const std::string& name, const std::string& parameter);

    // True when the driver reports the connection lost (SQL_ATTR_CONNECTION_DEAD), or it
    // is closed.
    bool isDead() const;

    // SQLGetInfo(SQL_DBMS_NAME), e.g. "Microsoft SQL Server", "SQLite", "PostgreSQL".
    std::string dbmsName();

private:
    // Rows of the first result set that has columns, at most `maxRows` of them.
    std::vector<Row> query(const std::string& sql, std::size_t maxRows);

    struct Handles;
    std::shared_ptr<Environment> m_environment;
    std::unique_ptr<Handles> m_handles;
    int m_transactionLevel = 0;
};

} // namespace pupdate::odbc
