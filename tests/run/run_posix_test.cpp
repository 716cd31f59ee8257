// The run and the copy where POSIX systems differ: owners and permission bits, and
// installation folders written for Windows.

#include "run_fixture.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;

TEST_F(RunTest, InstallationFolderWithADriveLetterIsRefusedBeforeAnythingChanges) {
    folder.writeProgramFile("a.txt", "new");
    folder.writeUpdateList("s.sql:IsAccess");
    folder.writeScript("s.sql", "update gs_ver set verdate = 'x'\r\n");
    const auto before = database->column("select verdate from gs_ver");
    for (const char* preset : {"C:\\zeltinfo3.0", "D:/Salary/Advanced"}) {
        person.events.clear();
        run.settings().installFolder = preset;
        EXPECT_EQ(run.Bt_OkClick(), RunOutcome::WalkFailed) << preset;
        EXPECT_TRUE(person.saw("inform:升级处理失败！"));
        EXPECT_FALSE(fs::exists(preset)) << preset;
        EXPECT_EQ(database->column("select verdate from gs_ver"), before);
        EXPECT_NE(folder.log().find(preset), std::string::npos) << folder.log();
    }
}

TEST_F(CopyTest, ReplacedFileKeepsItsOwnerAndModeAndEveryCopyTakesTheSourceTime) {
    const fs::path program = folder.package() / "UpdatePro";
    folder.writeProgramFile("app.dll", "new");
    folder.writeProgramFile("tool.sh", "#!/bin/sh\n");
    fs::permissions(program / "tool.sh", fs::perms(0755));
    const auto time = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(program / "app.dll", time);
    fs::last_write_time(program / "tool.sh", time);
    writeFile(folder.install() / "app.dll", "old");
    fs::permissions(folder.install() / "app.dll", fs::perms(0604));
    // Owned by somebody else, where this process may hand it over.
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((folder.install() / "app.dll").c_str(), 65534, 65534), 0);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);

    run.CopyProgramFiles();
    EXPECT_TRUE(folder.log().empty()) << folder.log();
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
    struct stat status {};
    ASSERT_EQ(::stat((folder.install() / "app.dll").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0604u);
    if (root) {
        EXPECT_EQ(status.st_uid, 65534u);
        EXPECT_EQ(status.st_gid, 65534u);
    }
    EXPECT_EQ(fs::last_write_time(folder.install() / "app.dll"), time);
    // A new file gets the source's mode as any new file does, less the umask.
    EXPECT_EQ(fs::status(folder.install() / "tool.sh").permissions(), fs::perms(0755 & ~mask));
    EXPECT_EQ(fs::last_write_time(folder.install() / "tool.sh"), time);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.install()), fs::directory_iterator()), 2);
}

} // namespace
} // namespace pupdate::testing
