#pragma once
// The two real databases the layer is tried on, behind one face: a SQLite file through
// the SQLite3 ODBC driver and a database on the private PostgreSQL cluster.

#include "databases.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace pupdate::testing {

enum class Backend { Sqlite, Postgres };

std::string backendLabel(const ::testing::TestParamInfo<Backend>& info);

// A fresh, empty database for the running test.
class Database {
public:
    virtual ~Database() = default;
    // Reaches this database with the run's fixed login.
    virtual std::string connectionString() const = 0;
    // The first column of every row of a query on a connection of its own, NULL as "NULL".
    std::vector<std::string> column(const std::string& sql) const;
    // A statement on a connection of its own.
    void exec(const std::string& sql) const;

    static std::unique_ptr<Database> make(Backend backend, const TempDir& dir);
};

// A name for a PostgreSQL database, unique to the running test.
std::string testDatabaseName();

} // namespace pupdate::testing
