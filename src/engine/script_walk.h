#pragma once
// The walk over the update list: one transaction on ADOCONN, begun before the first entry
// and committed after the last, or by the first server-side entry before it hands its
// script to the server. Before each commit the transaction is proven to be still the
// walk's own (transaction_proof.h); at each entry and commit a request to stop the run is
// looked at. The entries themselves are run by the runners (script_runners.h).

#include "odbc.h"
#include "package_check.h"
#include "person.h"
#include "transaction_proof.h"

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

namespace pupdate {

// Raised inside the walk when the run has been asked to stop; its message is the record
// the run leaves in the log.
class RunInterrupted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Raises RunInterrupted, saying `where` the run stopped (checked by the caller, so that
// an ordinary statement costs no text).
[[noreturn]] void throwInterrupted(const std::string& where);

class ScriptWalk {
public:
    ScriptWalk(odbc::Connection& connection, Person& person)
        : m_connection(connection), m_person(person) {}

    // Rolls back what the connection has open and begins the run's transaction.
    void begin();
    // Before each entry, in the order of the list: stops the walk when the run has been
    // asked to; a line-mode script that runs inside the transaction is noted, so that a
    // transaction the database ended can be told with the scripts that ran in it.
    void enter(const UpdateEntryPlan& entry);
    // After a statement failed: true when the walk's transaction was open and the
    // database has ended it, so that no later statement may run.
    bool transactionLost();
    // Commits the open transaction, telling it in `progress` (its bar hidden): stops
    // first when the run has been asked to (`where` it stopped), and raises when the
    // transaction is no longer the walk's own.
    void commit(Progress& progress, const std::string& where);
    // The failure path's roll-back of what is open: after a server-side entry has
    // committed there is nothing left. Raises when the database refuses it.
    void rollback();
    // The last commit, when a transaction is still open, in a progress window of its own
    // that the caller keeps until the outcome has been told; null when nothing was open.
    std::unique_ptr<Progress> commitLast();

private:
    // Right before a commit: raises when the database has ended the transaction, naming
    // the scripts run inside it.
    void proveBeforeCommit();

    odbc::Connection& m_connection;
    Person& m_person;
    TransactionProof m_proof;
    std::vector<std::filesystem::path> m_scripts; // line-mode scripts run in the transaction
    std::unordered_set<std::filesystem::path::string_type> m_named; // the same, to look up
};

} // namespace pupdate
