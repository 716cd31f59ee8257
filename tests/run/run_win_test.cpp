// The run and the copy where Windows differs: file attributes instead of permission bits,
// a folder's identity from its volume and file index, and an answer typed in the ANSI
// code page (GBK) reaching the program through a pipe.

#include "connections.h"
#include "package_check.h"
#include "program_process.h"
#include "run_fixture.h"
#include "upgrade_run.h"

#include <chrono>
#include <gtest/gtest.h>
#include <windows.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr DWORD kShown = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;

DWORD attributes(const fs::path& file) {
    return ::GetFileAttributesW(file.c_str()) & kShown;
}

TEST_F(CopyTest, ReplacedFileKeepsItsAttributesAndEveryCopyTakesTheSourceTime) {
    const fs::path program = folder.package() / "UpdatePro";
    folder.writeProgramFile("app.dll", "new");
    folder.writeProgramFile("readme.txt", "read me");
    // Whole seconds: what this runtime sets and reads of a file's time.
    const fs::file_time_type time = std::chrono::floor<std::chrono::seconds>(
        fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    fs::last_write_time(program / "app.dll", time);
    fs::last_write_time(program / "readme.txt", time);
    ASSERT_TRUE(::SetFileAttributesW((program / "readme.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    // Installed read-only and hidden: replaced without a question, as the shell's copy
    // does, and still so afterwards.
    writeFile(folder.install() / "app.dll", "old");
    ASSERT_TRUE(::SetFileAttributesW((folder.install() / "app.dll").c_str(), kShown));
    ASSERT_EQ(attributes(folder.install() / "app.dll"), kShown);

    run.CopyProgramFiles();
    EXPECT_TRUE(folder.log().empty()) << folder.log();
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
    EXPECT_EQ(attributes(folder.install() / "app.dll"), kShown);
    EXPECT_EQ(fs::last_write_time(folder.install() / "app.dll"), time);
    // A new file takes the source's attributes.
    EXPECT_EQ(readFile(folder.install() / "readme.txt"), "read me");
    EXPECT_EQ(attributes(folder.install() / "readme.txt"), DWORD{FILE_ATTRIBUTE_READONLY});
    EXPECT_EQ(fs::last_write_time(folder.install() / "readme.txt"), time);
    // No temporary file is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.install()), fs::directory_iterator()), 2);
    for (const char* name : {"app.dll", "readme.txt"}) {
        ::SetFileAttributesW((folder.install() / name).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    ::SetFileAttributesW((program / "readme.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(CopyTest, InstallationFolderInsideTheProgramFilesIsNotCopiedIntoItself) {
    folder.writeProgramFile("app.dll", "new");
    folder.writeProgramFile("sub/b.dll", "new b");
    const fs::path install = folder.package() / "UpdatePro" / "sub" / "install";
    writeFile(install / "old.dll", "old");
    run.settings().installFolder = pathToUtf8(install);

    run.CopyProgramFiles();
    EXPECT_EQ(readFile(install / "app.dll"), "new");
    EXPECT_EQ(readFile(install / "sub" / "b.dll"), "new b");
    EXPECT_EQ(readFile(install / "old.dll"), "old");
    EXPECT_FALSE(fs::exists(install / "sub" / "install"));
    EXPECT_NE(folder.log().find("不能把安装目录复制到它自己里面"), std::string::npos)
        << folder.log();
}

TEST_F(RunTest, AnswerInTheAnsiCodePageIsReadFromAPipe) {
    // As `echo 是| P_Update ...` sends it from a console of code page 936.
    folder.writeProgramFile("a.dll", "new");
    ProgramProcess process(installProgram(folder.package()), database->odbcTemplate(),
                           dir / "process");
    process.start({pathToUtf8(folder.install()), database->name()}, "\xCA\xC7\r\n",
                  {.input = ProgramStreams::Input::Pipe});
    const ProgramResult result = process.wait(120s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "系统提示: 是否已经退出人力资源管理软件？ [Y/N] 是\n");
    EXPECT_EQ(readFile(folder.install() / "a.dll"), "new");
}

// The system's form of a path ("\\?\C:\...") where part of it does not exist yet: still
// inside its folder, still the same lock key, and told as a person writes it.
TEST_F(RunTest, PathsNotThereYetKeepTheirPlaceAndAreShownAsWritten) {
    folder.writeScript("a.sql", "insert into t values (1)\r\n");
    writeFile(dir / "outside.sql", "insert into t values (9)\r\n");
    PathResolver paths;
    PackageCheck check(folder.package(), paths);
    // A missing line-mode script is missing, not outside; a server-side one is the
    // server's to find.
    EXPECT_EQ(check.checkUpdateList("missing.sql:IsAccess", "hrdb", SqlDialect::SqlServer)
                  .rfind("找不到脚本文件", 0),
              0u);
    EXPECT_EQ(check.checkUpdateList("missing.sql:IsSqlserver", "hrdb", SqlDialect::SqlServer), "");
    const std::string outside =
        check.checkUpdateList("..\\..\\outside.sql:IsAccess", "hrdb", SqlDialect::SqlServer);
    EXPECT_NE(outside.find("以外"), std::string::npos) << outside;
    EXPECT_EQ(outside.find("\\\\?\\"), std::string::npos) << outside;

    // One installation folder, one key, before and after the run makes it.
    RunSettings settings;
    settings.server = "(local)";
    settings.database = "hrdb";
    settings.installFolder = pathToUtf8(dir / "new" / "install");
    const std::vector<std::string> before = runLockKeys(settings, defaultOdbcTemplate());
    fs::create_directories(dir / "new" / "install");
    EXPECT_EQ(runLockKeys(settings, defaultOdbcTemplate()), before);
}

} // namespace
} // namespace pupdate::testing
