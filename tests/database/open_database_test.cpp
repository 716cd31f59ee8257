// OpenDatabase on real databases: both connections, the version probe, silent failures.

#include "connections.h"
#include "odbc.h"
#include "scripted_person.h"
#include "temp_dir.h"
#include "test_databases.h"
#include "upgrade_run.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using odbc::OdbcError;

constexpr const char* kVersionTable = "create table gs_ver (verdate varchar(30))";
constexpr const char* kVersionRow = "insert into gs_ver values ('2004-03-01')";

class OpenDatabaseTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        m_name = testDatabaseName();
        m_run.setOdbcTemplate(sqlite() ? SqliteDatabase::folderTemplate(m_folder.path())
                                       : PostgresCluster::instance().odbcTemplate());
        m_run.settings().server = "(local)";
        m_run.settings().database = m_name;
    }

    bool sqlite() const { return GetParam() == Backend::Sqlite; }

    // A database reachable under `name`, set up by the given statements.
    void makeDatabase(const std::string& name, std::initializer_list<const char*> statements) {
        if (sqlite()) {
            SqliteDatabase db(m_folder.path() / pathFromUtf8(name + ".db"), false);
            for (const char* sql : statements) {
                db.exec(sql);
            }
        } else {
            PostgresCluster& cluster = PostgresCluster::instance();
            cluster.createDatabase(name);
            for (const char* sql : statements) {
                cluster.exec(name, sql);
            }
        }
    }

    // Nothing reached the operator and nothing was logged.
    void expectSilence() const {
        EXPECT_TRUE(m_person.events.empty()) << ::testing::PrintToString(m_person.events);
        EXPECT_FALSE(fs::exists(m_program / "ReException.Log"));
    }
    // A failed connection: no message box and no log, only the status with the driver's
    // message beside it.
    void expectToldInTheStatus() const {
        EXPECT_TRUE(m_person.toldOnlyTheStatus()) << ::testing::PrintToString(m_person.events);
        EXPECT_FALSE(fs::exists(m_program / "ReException.Log"));
    }

    std::string m_name;
    TempDir m_folder;  // the SQLite databases
    TempDir m_program; // the program folder, where a log would appear
    ScriptedPerson m_person;
    UpgradeRun m_run{m_person, m_program.path()};
};

TEST_P(OpenDatabaseTest, OpensBothConnectionsWithTheTrimmedNames) {
    makeDatabase(m_name, {kVersionTable, kVersionRow});
    m_run.settings().server = "  (local)\t";
    m_run.settings().database = " " + m_name + "\r\n";
    EXPECT_TRUE(m_run.OpenDatabase());
    EXPECT_EQ(m_run.ConnStr(), "Provider=SQLOLEDB.1;user id=zelt2002;password =kp4719 ;"
                               "Data Source=(local);Initial Catalog=" +
                                   m_name);
    EXPECT_TRUE(m_run.ADOCONN().isOpen());
    EXPECT_TRUE(m_run.ADOCONN1().isOpen());
    EXPECT_EQ(m_run.ADOCONN().inTransaction(), 0);
    expectSilence();
}

TEST_P(OpenDatabaseTest, MissingDatabaseGivesFalseWithoutABox) {
    m_run.settings().database = "no_such_db";
    EXPECT_FALSE(m_run.OpenDatabase());
    EXPECT_EQ(m_run.ConnStr(), buildConnStr("(local)", "no_such_db"));
    EXPECT_FALSE(m_run.ADOCONN().isOpen());
    EXPECT_FALSE(m_run.ADOCONN1().isOpen());
    expectToldInTheStatus();
    if (sqlite()) {
        EXPECT_FALSE(fs::exists(m_folder / "no_such_db.db")) << "the open made a database";
    }
}

TEST_P(OpenDatabaseTest, MissingVersionTableRaises) {
    makeDatabase(m_name, {"create table other (verdate varchar(30))"});
    try {
        m_run.OpenDatabase();
        FAIL() << "no error";
    } catch (const OdbcError& error) {
        EXPECT_NE(std::string(error.what()).find("gs_ver"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(m_run.ADOCONN().isOpen());
    EXPECT_TRUE(m_run.ADOCONN1().isOpen());
    EXPECT_FALSE(fs::exists(m_program / "ReException.Log"));
}

TEST_P(OpenDatabaseTest, VersionTableWithoutVerdateRaises) {
    makeDatabase(m_name, {"create table gs_ver (version varchar(30))",
                          "insert into gs_ver values ('2004')"});
    EXPECT_THROW(m_run.OpenDatabase(), OdbcError);
}

TEST_P(OpenDatabaseTest, EmptyVersionTablePasses) {
    makeDatabase(m_name, {kVersionTable});
    EXPECT_TRUE(m_run.OpenDatabase());
}

TEST_P(OpenDatabaseTest, PressingOkAgainReopensWithTheNewName) {
    makeDatabase(m_name, {kVersionTable, kVersionRow, "create table marker (which varchar(9))",
                          "insert into marker values ('first')"});
    const std::string second = m_name + "_2";
    makeDatabase(second, {kVersionTable, "create table marker (which varchar(9))",
                          "insert into marker values ('second')"});

    m_run.settings().database = "no_such_db";
    EXPECT_FALSE(m_run.OpenDatabase());
    m_run.settings().database = m_name;
    EXPECT_TRUE(m_run.OpenDatabase());
    EXPECT_EQ(m_run.ADOCONN().queryFirstRow("select which from marker")->at(0), "first");
    m_run.settings().database = second;
    EXPECT_TRUE(m_run.OpenDatabase());
    EXPECT_EQ(m_run.ADOCONN().queryFirstRow("select which from marker")->at(0), "second");
    EXPECT_EQ(m_run.ADOCONN1().queryFirstRow("select which from marker")->at(0), "second");
    expectToldInTheStatus(); // of the first attempt only
}

TEST_P(OpenDatabaseTest, DatabaseNameCannotAddAttributes) {
    makeDatabase(m_name, {kVersionTable, kVersionRow});
    // Everything after ';' is cut off before the mapping: the name reaches m_name.
    m_run.settings().database = m_name + ";Driver={evil};Database=elsewhere";
    EXPECT_TRUE(m_run.OpenDatabase());
    // A closing brace is doubled inside braces; no such database exists.
    m_run.settings().database = m_name + "}";
    EXPECT_FALSE(m_run.OpenDatabase());
    expectToldInTheStatus();
}

INSTANTIATE_TEST_SUITE_P(Drivers, OpenDatabaseTest,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres), backendName);

// Faults only a server has.
class OpenPostgresTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_name = testDatabaseName();
        PostgresCluster& cluster = PostgresCluster::instance();
        cluster.createDatabase(m_name);
        cluster.exec(m_name, kVersionTable);
        m_run.setOdbcTemplate(cluster.odbcTemplate());
        m_run.settings().database = m_name;
    }

    std::string currentUser() {
        return m_run.ADOCONN().queryFirstRow("select current_user")->at(0).value();
    }

    std::string m_name;
    TempDir m_program;
    ScriptedPerson m_person;
    UpgradeRun m_run{m_person, m_program.path()};
};

TEST_F(OpenPostgresTest, SecondConnectionRefusedGivesFalseAndLeavesTheFirstOpen) {
    PostgresCluster::instance().exec(m_name, "alter database " + m_name + " connection limit 1");
    EXPECT_FALSE(m_run.OpenDatabase());
    EXPECT_TRUE(m_run.ADOCONN().isOpen());
    EXPECT_FALSE(m_run.ADOCONN1().isOpen());
    EXPECT_TRUE(m_person.toldOnlyTheStatus()) << ::testing::PrintToString(m_person.events);
}

TEST_F(OpenPostgresTest, ServerDownGivesFalseAndUpAgainWorks) {
    PostgresCluster& cluster = PostgresCluster::instance();
    cluster.stop();
    const bool whileDown = m_run.OpenDatabase();
    cluster.start();
    EXPECT_FALSE(whileDown);
    EXPECT_TRUE(m_run.OpenDatabase());
    EXPECT_TRUE(m_person.toldOnlyTheStatus()) << ::testing::PrintToString(m_person.events);
    EXPECT_FALSE(fs::exists(m_program / "ReException.Log"));
}

TEST_F(OpenPostgresTest, ConnectsWithTheFixedLoginWhateverTheName) {
    ASSERT_TRUE(m_run.OpenDatabase());
    EXPECT_EQ(currentUser(), "zelt2002");
    m_run.settings().database = m_name + ";user id=postgres;password=;Data Source=elsewhere";
    ASSERT_TRUE(m_run.OpenDatabase());
    EXPECT_EQ(currentUser(), "zelt2002");
    EXPECT_EQ(m_run.ADOCONN().queryFirstRow("select current_database()")->at(0), m_name);
}

TEST_F(OpenPostgresTest, LocalServerNamesReachTheLocalServer) {
    std::string withServer = PostgresCluster::instance().odbcTemplate();
    const std::string fixedHost = "Servername=127.0.0.1";
    withServer.replace(withServer.find(fixedHost), fixedHost.size(), "Servername=%SERVER%");
    m_run.setOdbcTemplate(withServer);
    for (const char* local : {"(local)", " (LOCAL) ", "."}) {
        m_run.settings().server = local;
        EXPECT_TRUE(m_run.OpenDatabase()) << local;
    }
    // Nothing listens there.
    m_run.settings().server = "127.0.0.2";
    EXPECT_FALSE(m_run.OpenDatabase());
}

} // namespace
} // namespace pupdate::testing
