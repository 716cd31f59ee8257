// The connection string kept in ConnStr and its mapping onto an ODBC connection string.

#include "connections.h"
#include "environment.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace pupdate {
namespace {

constexpr const char* kAllFields = "S=%SERVER%;D=%DATABASE%;U=%USER%;P=%PASSWORD%";

TEST(BuildConnStr, IsTheFixedTextWithServerAndDatabase) {
    EXPECT_EQ(buildConnStr("(local)", "zlhr"),
              "Provider=SQLOLEDB.1;user id=zelt2002;password =kp4719 ;Data Source=(local);"
              "Initial Catalog=zlhr");
    EXPECT_EQ(
        buildConnStr("HR-SERVER\\SQL2000", "人力资源"),
        "Provider=SQLOLEDB.1;user id=zelt2002;password =kp4719 ;Data Source=HR-SERVER\\SQL2000;"
        "Initial Catalog=人力资源");
}

TEST(BuildConnStr, TrimsBlanksAndControlCharactersAtBothEndsOnly) {
    EXPECT_EQ(buildConnStr(" \t(local)\r\n", "\x01\x1f zl hr \x20"),
              "Provider=SQLOLEDB.1;user id=zelt2002;password =kp4719 ;Data Source=(local);"
              "Initial Catalog=zl hr");
    // 0x21 and above stay, bytes of Chinese characters included.
    EXPECT_EQ(buildConnStr("!srv!", " 工资 "),
              "Provider=SQLOLEDB.1;user id=zelt2002;password =kp4719 ;Data Source=!srv!;"
              "Initial Catalog=工资");
    EXPECT_EQ(
        buildConnStr("   ", ""),
        "Provider=SQLOLEDB.1;user id=zelt2002;password =kp4719 ;Data Source=;Initial Catalog=");
}

TEST(ToOdbcConnectionString, FillsEveryFieldFromTheRunsConnStr) {
    EXPECT_EQ(toOdbcConnectionString(buildConnStr("hrserver", "zlhr"), kAllFields),
              "S=hrserver;D=zlhr;U=zelt2002;P=kp4719");
    // The platform's default template (the driver it names differs) is filled alike.
    const std::string filled =
        toOdbcConnectionString(buildConnStr("hrserver", "zlhr"), defaultOdbcTemplate());
    EXPECT_NE(filled.find(";Server=hrserver;Database=zlhr;UID=zelt2002;PWD=kp4719"),
              std::string::npos)
        << filled;
}

TEST(ToOdbcConnectionString, KeysIgnoreLetterCaseAndBlanks) {
    EXPECT_EQ(toOdbcConnectionString(" DATA SOURCE =srv; initial catalog\t= db ;User ID=u;"
                                     "PASSWORD   = pw ",
                                     kAllFields),
              "S=srv;D=db;U=u;P=pw");
    EXPECT_EQ(toOdbcConnectionString("Provider=SQLOLEDB.1", kAllFields), "S=;D=;U=;P=");
}

TEST(ToOdbcConnectionString, LocalServerNamesBecomeLocalhost) {
    for (const char* local : {"(local)", "(LOCAL)", "(Local)", "."}) {
        EXPECT_EQ(toOdbcConnectionString(buildConnStr(local, "db"), "%SERVER%"), "localhost")
            << local;
    }
    for (const char* other : {"..", "(local)\\SQL2000", "localhost", "10.0.0.5,1433"}) {
        EXPECT_EQ(toOdbcConnectionString(buildConnStr(other, "db"), "%SERVER%"), other) << other;
    }
}

TEST(ToOdbcConnectionString, ValuesThatCouldEndOrQuoteAnAttributeAreBraced) {
    const auto database = [](const char* name) {
        return toOdbcConnectionString(buildConnStr("srv", name), "Database=%DATABASE%;UID=%USER%");
    };
    EXPECT_EQ(database("a}b"), "Database={a}}b};UID=zelt2002");
    EXPECT_EQ(database("a=b"), "Database={a=b};UID=zelt2002");
    EXPECT_EQ(database("{x"), "Database={{x};UID=zelt2002");
    EXPECT_EQ(database("x}"), "Database={x}}};UID=zelt2002");
    EXPECT_EQ(database("人力 资源"), "Database=人力 资源;UID=zelt2002");
    // The connection string ends the name at ';': what follows cannot add an attribute.
    EXPECT_EQ(database("x;Driver={evil}"), "Database=x;UID=zelt2002");
    EXPECT_EQ(database("x }; UID=sa"), "Database={x }}};UID=zelt2002");
}

TEST(ToOdbcConnectionString, TheFirstOccurrenceOfAKeyCounts) {
    // A database name cannot replace the login or the server given before it.
    const std::string connStr = buildConnStr("srv", "db;user id=sa;password=;Data Source=evil");
    EXPECT_EQ(toOdbcConnectionString(connStr, kAllFields), "S=srv;D=db;U=zelt2002;P=kp4719");
}

TEST(ToOdbcConnectionString, FilledValuesAreNotFilledAgain) {
    EXPECT_EQ(toOdbcConnectionString(buildConnStr("%DATABASE%", "%USER%"),
                                     "%SERVER%|%DATABASE%|%SERVER%|%UNKNOWN%|%"),
              "%DATABASE%|%USER%|%DATABASE%|%UNKNOWN%|%");
}

// Sets or removes P_UPDATE_ODBC for one test and puts the old value back.
class OdbcVariable {
public:
    explicit OdbcVariable(const char* value) {
        if (const char* old = std::getenv("P_UPDATE_ODBC")) {
            m_old = old;
        }
        testing::setEnvironment("P_UPDATE_ODBC",
                                value ? std::optional<std::string>(value) : std::nullopt);
    }
    ~OdbcVariable() { testing::setEnvironment("P_UPDATE_ODBC", m_old); }

private:
    std::optional<std::string> m_old;
};

TEST(OdbcTemplate, ComesFromTheEnvironmentWhenSet) {
    {
        OdbcVariable variable("Driver={SQLite3};Database=/tmp/%DATABASE%.db");
        EXPECT_EQ(odbcTemplate(), "Driver={SQLite3};Database=/tmp/%DATABASE%.db");
    }
    {
        OdbcVariable variable("");
        EXPECT_EQ(odbcTemplate(), defaultOdbcTemplate());
    }
    {
        OdbcVariable variable(nullptr);
        EXPECT_EQ(odbcTemplate(), defaultOdbcTemplate());
    }
}

} // namespace
} // namespace pupdate
