#include "transaction_proof.h"

#include <string_view>

namespace pupdate {

void TransactionProof::begin(odbc::Connection& connection) {
    const std::string dbms = connection.dbmsName();
    m_transactionNumber.clear();
    if (dbms.find("SQL Server") != std::string::npos) {
        m_database = Database::SqlServer;
    } else if (dbms.find("PostgreSQL") != std::string::npos) {
        m_database = Database::PostgreSql;
        const auto row = connection.queryFirstRow("select txid_current()");
        if (row && !row->empty() && (*row)[0]) {
            m_transactionNumber = *(*row)[0];
        }
    } else if (dbms.find("SQLite") != std::string::npos) {
        m_database = Database::Sqlite;
    } else {
        m_database = Database::Other;
    }
}

bool TransactionProof::holds(odbc::Connection& connection) const {
    try {
        switch (m_database) {
        // The one row is read to the end of the result, so that the question is one round
        // trip: a result closed early costs SQL Server's drivers a cancel and its answer.
        case Database::SqlServer: {
            // 1: active and committable; 0: gone; -1: doomed, only a roll-back is left.
            const auto rows = connection.queryAll("SELECT XACT_STATE()");
            return rows.size() == 1 && !rows[0].empty() && rows[0][0] && *rows[0][0] == "1";
        }
        case Database::PostgreSql: {
            // An aborted transaction refuses the question; one rolled back by the driver
            // has been followed by a new one with another number.
            const auto rows = connection.queryAll("select txid_current()");
            return rows.size() == 1 && !rows[0].empty() && rows[0][0] &&
                   *rows[0][0] == m_transactionNumber && !m_transactionNumber.empty();
        }
        case Database::Sqlite:
            // Inside a transaction SQLite refuses to begin one. If it begins, the walk's
            // transaction is gone; the one just begun ends with the walk's roll-back.
            try {
                connection.execute("BEGIN");
            } catch (const odbc::OdbcError& error) {
                return std::string_view(error.what()).find("within a transaction") !=
                       std::string_view::npos;
            }
            return false;
        case Database::Other:
            return true;
        }
    } catch (const odbc::OdbcError&) {
        return false;
    }
    return true;
}

} // namespace pupdate
