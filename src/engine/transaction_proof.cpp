#include "transaction_proof.h"

#include <stdexcept>
#include <string_view>

namespace pupdate {

namespace {

// SQL Server: the session's transaction level, or 0 when it cannot be read.
long transactionLevel(odbc::Connection& connection) {
    const auto rows = connection.queryAll("SELECT @@TRANCOUNT");
    if (rows.size() != 1 || rows[0].empty() || !rows[0][0]) {
        return 0;
    }
    try {
        return std::stol(*rows[0][0]);
    } catch (const std::exception&) {
        return 0;
    }
}

} // namespace

void TransactionProof::begin(odbc::Connection& connection) {
    const std::string dbms = connection.dbmsName();
    m_transactionNumber.clear();
    m_level = 0;
    if (dbms.find("SQL Server") != std::string::npos) {
        m_database = Database::SqlServer;
        // Implicit transactions first: a driver that opens its transaction only with the
        // first statement has one open once the level below is begun.
        connection.execute("SET IMPLICIT_TRANSACTIONS ON");
        connection.execute("BEGIN TRANSACTION");
        m_level = transactionLevel(connection);
        if (m_level < 2) {
            connection.execute("BEGIN TRANSACTION");
            m_level = transactionLevel(connection);
        }
        if (m_level < 2) {
            throw std::runtime_error("数据库没有为升级开始嵌套的事务（@@TRANCOUNT = " +
                                     std::to_string(m_level) + "），升级没有开始。");
        }
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
            // XACT_STATE() 1: active and committable; 0: gone; -1: doomed, only a roll-back
            // is left. A level other than the run's own: a script committed or rolled back.
            const auto rows = connection.queryAll("SELECT @@TRANCOUNT, XACT_STATE()");
            return rows.size() == 1 && rows[0].size() == 2 && rows[0][0] && rows[0][1] &&
                   *rows[0][0] == std::to_string(m_level) && *rows[0][1] == "1";
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

void TransactionProof::release(odbc::Connection& connection) {
    if (m_database != Database::SqlServer) {
        return;
    }
    for (long level = m_level; level > 1; --level) {
        connection.execute("COMMIT TRANSACTION");
    }
    // Statements after this commit run on their own, as without the run's transaction.
    connection.execute("SET IMPLICIT_TRANSACTIONS OFF");
    m_level = 0;
}

void TransactionProof::abandon(odbc::Connection& connection) noexcept {
    if (m_database != Database::SqlServer || m_level == 0) {
        return;
    }
    m_level = 0;
    try {
        connection.execute("SET IMPLICIT_TRANSACTIONS OFF");
    } catch (const std::exception&) {
        // A connection that cannot take it is not used again by this run.
    }
}

} // namespace pupdate
