#pragma once
// A fresh database for the running test, on either real backend behind one face: a
// SQLite file through the SQLite3 ODBC driver, or a database on the private PostgreSQL
// cluster through psqlODBC.

#include "databases.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace pupdate::testing {

enum class Backend { Sqlite, Postgres };

std::string backendName(const ::testing::TestParamInfo<Backend>& info);

// A PostgreSQL database name unique to the running test.
std::string testDatabaseName();

class TestDatabase {
public:
    virtual ~TestDatabase() = default;
    // The name the run is given (E_db).
    virtual std::string name() const = 0;
    // Reaches this database with the run's fixed login.
    virtual std::string connectionString() const = 0;
    // The run's ODBC template for it.
    virtual std::string odbcTemplate() const = 0;

    // Statements and queries, each on a connection of its own.
    void exec(const std::string& sql) const;
    std::vector<odbc::Row> query(const std::string& sql) const;
    // The first column of every row, NULL as "NULL".
    std::vector<std::string> column(const std::string& sql) const;
};

// A database with a name of the caller's on the PostgreSQL cluster, made afresh.
class PostgresTestDatabase : public TestDatabase {
public:
    PostgresTestDatabase(std::string name, bool withVersionTable);
    std::string name() const override { return m_name; }
    std::string connectionString() const override;
    std::string odbcTemplate() const override;

private:
    std::shared_ptr<void> m_hold; // the name, while other test programs share the cluster
    std::string m_name;
};

// A fresh database for the running test; with the application's version table
// gs_ver(verdate) holding one row when `withVersionTable` is set.
std::unique_ptr<TestDatabase> makeDatabase(Backend backend, const TempDir& dir,
                                           bool withVersionTable = true);

} // namespace pupdate::testing
