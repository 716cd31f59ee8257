#pragma once
// Proof that the transaction the walk began is still open and sound, asked after a
// statement of the walk failed and right before each commit, so that no later statement
// runs on its own and nothing is committed that the database has already ended.

#include "odbc.h"

#include <string>

namespace pupdate {

// What can be proven depends on the database: SQL Server's XACT_STATE(), PostgreSQL's
// transaction number (read when the walk begins; a roll-back or an aborted transaction
// changes it or refuses the question), and SQLite's refusal to begin a transaction inside
// one. Of any other database nothing is asked.
class TransactionProof {
public:
    // Right after the walk has begun its transaction on `connection`.
    void begin(odbc::Connection& connection);
    // False when the database has ended, rolled back or doomed that transaction.
    bool holds(odbc::Connection& connection) const;

private:
    enum class Database { SqlServer, PostgreSql, Sqlite, Other };
    Database m_database = Database::Other;
    std::string m_transactionNumber;
};

} // namespace pupdate
