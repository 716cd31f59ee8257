// ReException.Log written to a real folder.

#include "exception_log.h"
#include "temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace pupdate {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;

TEST(ExceptionLogTest, FirstRecordCreatesTheFileAndLaterOnesAppend) {
    TempDir dir;
    const fs::path log = dir / "ReException.Log";
    ASSERT_FALSE(fs::exists(log));
    WriteExceptionLog(dir.path(), "first error");
    EXPECT_EQ(readFile(log), "first error\r\n");
    WriteExceptionLog(dir.path(), "second error");
    EXPECT_EQ(readFile(log), "first error\r\nsecond error\r\n");
}

TEST(ExceptionLogTest, TextIsStoredInGbk) {
    TempDir dir;
    WriteExceptionLog(dir.path(), "升级完毕！ \xF0\x9F\x98\x80");
    EXPECT_EQ(readFile(dir / "ReException.Log"), "\xC9\xFD\xBC\xB6\xCD\xEA\xB1\xCF\xA3\xA1 ?\r\n");
}

TEST(ExceptionLogTest, TextEndingInALineBreakLeavesAnEmptyLine) {
    TempDir dir;
    WriteExceptionLog(dir.path(), "[Microsoft][ODBC] syntax error\r\nselec 1\r\n");
    WriteExceptionLog(dir.path(), "");
    EXPECT_EQ(readFile(dir / "ReException.Log"),
              "[Microsoft][ODBC] syntax error\r\nselec 1\r\n\r\n\r\n");
}

TEST(ExceptionLogTest, UnwritableLogRaisesLogWriteError) {
    TempDir dir;
    // The tests may run as root, which ignores permission bits; a missing folder and a
    // folder standing where the file should be fail for everyone.
    try {
        WriteExceptionLog(dir / "no such folder", "text");
        FAIL() << "no error";
    } catch (const LogWriteError& error) {
        // The step and the file are named; the reason is the system's own text.
        const std::string message = error.what();
        EXPECT_NE(message.find("无法打开异常日志"), std::string::npos) << message;
        EXPECT_NE(message.find("no such folder"), std::string::npos) << message;
    }
    fs::create_directory(dir / "ReException.Log");
    EXPECT_THROW(WriteExceptionLog(dir.path(), "text"), LogWriteError);
}

} // namespace
} // namespace pupdate
