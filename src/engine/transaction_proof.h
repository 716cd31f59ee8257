#pragma once
// Proof that the transaction the walk began is still open and sound, asked after a
// statement of the walk failed and right before each commit, so that no later statement
// runs on its own and nothing is committed that the database has already ended.
//
// On SQL Server the database itself guards the run's transaction: SQL Server commits only
// when the outermost level commits, so the run nests a level of its own inside the one the
// driver opened. A script's COMMIT, seen by the check or hidden in a procedure, then only
// lowers @@TRANCOUNT and commits nothing; a ROLLBACK undoes everything, and with implicit
// transactions on, what the script does after it opens a new transaction rather than
// taking effect on its own. Either way the proof finds a level that is not the run's and
// the failure path undoes the rest.

#include "odbc.h"

#include <string>

namespace pupdate {

// What can be proven depends on the database: SQL Server's @@TRANCOUNT and XACT_STATE(),
// PostgreSQL's transaction number (read when the walk begins; a roll-back or an aborted
// transaction changes it or refuses the question), and SQLite's refusal to begin a
// transaction inside one. Of any other database nothing is asked.
class TransactionProof {
public:
    // Right after the walk has begun its transaction on `connection`: on SQL Server takes
    // the run's own level. Raises when the database refuses.
    void begin(odbc::Connection& connection);
    // False when the database has ended, rolled back or doomed that transaction, or when
    // on SQL Server it stands at another level than the run's own.
    bool holds(odbc::Connection& connection) const;
    // Right before the walk commits, once holds() said yes: gives back the levels the run
    // took, so that the driver's commit is the one that commits.
    void release(odbc::Connection& connection);
    // After the walk's transaction was rolled back: what begin() changed of the session is
    // undone as far as the connection still allows; never raises.
    void abandon(odbc::Connection& connection) noexcept;

private:
    enum class Database { SqlServer, PostgreSql, Sqlite, Other };
    Database m_database = Database::Other;
    std::string m_transactionNumber;
    long m_level = 0; // SQL Server: @@TRANCOUNT while the run's transaction is its own
};

} // namespace pupdate
