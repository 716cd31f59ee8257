// The installation folder runs out of space during the copy: every file that cannot be
// written is logged, what was installed stays as it was, and the run goes on to the
// scripts.
//
// The folder is a 64 KiB tmpfs the test mounts; the package holds more than that. Where
// mounting is not permitted the destination is made read-only instead (for root, which
// permission bits do not stop, by folders standing where the files should go).

#include "fault_fixture.h"
#include "mounts.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <unistd.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSpace = 64 * 1024;

class OutOfSpaceTest : public FaultTest {
protected:
    void SetUp() override {
        useDatabase(Backend::Sqlite);
        database->exec("create table t (id integer primary key)");
    }
};

TEST_F(OutOfSpaceTest, EachFailedFileIsLoggedAndTheScriptsStillRun) {
    // Twelve files of 16 KiB in nested folders: four times what fits.
    std::vector<std::string> files;
    for (int i = 0; i < 12; ++i) {
        const std::string name =
            "sub" + std::to_string(i % 3) + "/deeper/file" + std::to_string(i) + ".bin";
        folder.writeProgramFile(name, std::string(16 * 1024, static_cast<char>('a' + i)));
        files.push_back(name);
    }
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\ninsert into t values (2)\r\n");

    Mount space = Mount::tmpfs(folder.install(), kSpace);
    bool full = space.mounted();
    if (!full) {
        std::cout << "tmpfs mount refused (" << space.why()
                  << "); the destination is made read-only instead\n";
        if (::geteuid() == 0) {
            for (const std::string& name : files) {
                fs::create_directories(folder.install() / name);
            }
        } else {
            fs::permissions(folder.install(), fs::perms::owner_write, fs::perm_options::remove);
        }
    }

    const ProgramResult result = runUnattended();
    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("系统提示: 升级完毕！\n"), std::string::npos) << result.out;
    EXPECT_EQ(ids(), (std::vector<std::string>{"1", "2"}));

    // Every file is either there whole or absent and named in a log record of its own;
    // no part of a file and no temporary file is left behind.
    const std::string log = folder.log();
    int failed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const fs::path copy = folder.install() / files[i];
        const bool whole = fs::is_regular_file(copy) &&
                           readFile(copy) == std::string(16 * 1024, static_cast<char>('a' + i));
        if (!whole) {
            ++failed;
            EXPECT_FALSE(fs::is_regular_file(copy)) << files[i] << " left in part";
            EXPECT_NE(log.find(files[i]), std::string::npos) << files[i] << " not logged:\n" << log;
        }
    }
    for (const auto& entry : fs::recursive_directory_iterator(folder.install())) {
        const std::string name = fs::relative(entry.path(), folder.install()).string();
        EXPECT_TRUE(!entry.is_regular_file() ||
                    std::find(files.begin(), files.end(), name) != files.end())
            << "left behind: " << name;
    }
    EXPECT_GE(failed, full ? 8 : 12) << log;
    if (full) {
        EXPECT_NE(log.find("No space left on device"), std::string::npos) << log;
    }
    // One record for each failed file, no more: records are separated by CR LF.
    std::size_t records = 0;
    for (std::size_t at = log.find("\r\n"); at != std::string::npos;
         at = log.find("\r\n", at + 2)) {
        ++records;
    }
    EXPECT_EQ(records, static_cast<std::size_t>(failed)) << log;
}

TEST_F(OutOfSpaceTest, InstalledFileIsKeptByteForByteWhenItsReplacementDoesNotFit) {
    folder.writeProgramFile("app.dll", std::string(60 * 1000, 'n'));
    folder.writeProgramFile("small.dll", "fits");
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n");
    Mount space = Mount::tmpfs(folder.install(), kSpace);
    if (!space.mounted()) {
        GTEST_SKIP() << "tmpfs mount refused (" << space.why() << ")";
    }
    std::string installed(40 * 1000, '\0');
    for (std::size_t i = 0; i < installed.size(); ++i) {
        installed[i] = static_cast<char>(i * 7 % 251);
    }
    writeFile(folder.install() / "app.dll", installed);
    fs::permissions(folder.install() / "app.dll", fs::perms(0640));

    const ProgramResult result = runUnattended();
    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(ids(), std::vector<std::string>{"1"});
    EXPECT_TRUE(readFile(folder.install() / "app.dll") == installed)
        << "the installed file was changed";
    EXPECT_EQ(fs::status(folder.install() / "app.dll").permissions(), fs::perms(0640));
    EXPECT_EQ(readFile(folder.install() / "small.dll"), "fits");
    const std::string log = folder.log();
    EXPECT_NE(log.find("No space left on device [" +
                       (folder.package() / "UpdatePro" / "app.dll").string() + "] [" +
                       pathToUtf8(folder.install() / "app.dll") + "]"),
              std::string::npos)
        << log;
    // Nothing but the two program files: the temporary file is gone.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.install())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"app.dll", "small.dll"}));
}

} // namespace
} // namespace pupdate::testing
