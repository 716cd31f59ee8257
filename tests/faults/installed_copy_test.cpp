// What the copy does to an installation, as the program runs it: the rights it hands
// out, installed links, what a killed copy leaves and the next run removes, the running
// package's own files, and a package that only copies telling what it could not copy.

#include "fault_fixture.h"
#include "file_tree.h"
#include "interruption.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kQuestion = "系统提示: 是否已经退出人力资源管理软件？ [Y/N] y\n";

struct stat statusOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

mode_t currentUmask() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

// Every name below `folder` that a copy uses while it writes a file.
std::vector<std::string> temporaryFiles(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with(".P_Update-")) {
            names.push_back(entry.path().string());
        }
    }
    return names;
}

class InstalledCopyTest : public FaultTest {
protected:
    void SetUp() override {
        useDatabase(Backend::Sqlite);
        database->exec("create table t (id integer primary key)");
    }
    void writeProgramFile(const std::string& name, const std::string& bytes, mode_t mode) {
        folder.writeProgramFile(name, bytes);
        ASSERT_EQ(::chmod((folder.package() / "UpdatePro" / name).c_str(), mode), 0);
    }
    static void writeInstalled(const fs::path& file, const std::string& bytes, mode_t mode,
                               uid_t owner = ::geteuid()) {
        writeInstalled(file, bytes, mode, owner, owner == ::geteuid() ? ::getegid() : owner);
    }
    static void writeInstalled(const fs::path& file, const std::string& bytes, mode_t mode,
                               uid_t owner, gid_t group) {
        writeFile(file, bytes);
        ASSERT_EQ(::chown(file.c_str(), owner, group), 0);
        ASSERT_EQ(::chmod(file.c_str(), mode), 0);
    }
};

TEST_F(InstalledCopyTest, NoFileGetsASetIdBitItsInstalledFileDidNotHaveWithItsOwner) {
    const bool root = ::geteuid() == 0;
    writeProgramFile("new_setuid", "a", 04755);
    writeProgramFile("new_setgid", "b", 02755);
    writeProgramFile("new_sticky", "c", 01755);
    writeProgramFile("own_setuid", "d", 0644);
    writeProgramFile("handed_over", "e", 0644);
    writeProgramFile("owner_only", "f", 0644);
    writeProgramFile("group_only", "g", 0644);
    writeInstalled(folder.install() / "own_setuid", "old", 04750);
    if (root) {
        // Handed back to another owner, group, or both: no set-ID bit goes along.
        writeInstalled(folder.install() / "handed_over", "old", 06755, 65534);
        writeInstalled(folder.install() / "owner_only", "old", 06755, 65534, ::getegid());
        writeInstalled(folder.install() / "group_only", "old", 06755, ::geteuid(), 65534);
    }

    const ProgramResult result = runUnattended();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, kQuestion) << result.err;
    for (const char* name : {"new_setuid", "new_setgid", "new_sticky"}) {
        EXPECT_EQ(statusOf(folder.install() / name).st_mode & 07777, 0755 & ~currentUmask())
            << name;
    }
    // Still the operator's file, as the installation made it.
    EXPECT_EQ(readFile(folder.install() / "own_setuid"), "d");
    EXPECT_EQ(statusOf(folder.install() / "own_setuid").st_mode & 07777, 04750u);
    if (root) {
        const struct stat handed = statusOf(folder.install() / "handed_over");
        EXPECT_EQ(handed.st_uid, 65534u);
        EXPECT_EQ(handed.st_gid, 65534u);
        EXPECT_EQ(handed.st_mode & 07777, 0755u);
        EXPECT_EQ(statusOf(folder.install() / "owner_only").st_uid, 65534u);
        EXPECT_EQ(statusOf(folder.install() / "group_only").st_gid, 65534u);
        for (const char* name : {"owner_only", "group_only"}) {
            EXPECT_EQ(statusOf(folder.install() / name).st_mode & 07777, 0755u) << name;
        }
    }
}

// An installed file keeps its mode when the run's umask would cut it: under umask 077 a
// program file every account reads stays readable. A new file gets what the umask leaves.
TEST_F(InstalledCopyTest, ReplacedFileKeepsTheModeTheUmaskWouldCut) {
    writeProgramFile("app.dll", "new", 0644);
    writeProgramFile("fresh.dll", "new", 0644);
    writeInstalled(folder.install() / "app.dll", "old", 0644);

    const mode_t before = ::umask(077);
    const ProgramResult result = runUnattended();
    ::umask(before);

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
    EXPECT_EQ(statusOf(folder.install() / "app.dll").st_mode & 07777, 0644u);
    EXPECT_EQ(statusOf(folder.install() / "fresh.dll").st_mode & 07777, 0600u);
}

// Inside a folder by whole names: a sibling whose name begins with the folder's is not.
TEST(InstalledPathTest, PathIsInsideAFolderByWholeNames) {
    EXPECT_TRUE(filetree::isWithin("/inst/a.dll", "/inst"));
    EXPECT_TRUE(filetree::isWithin("/inst", "/inst/"));
    EXPECT_TRUE(filetree::isWithin("/inst/sub/a", "/inst"));
    EXPECT_FALSE(filetree::isWithin("/inst2/a.dll", "/inst"));
    EXPECT_FALSE(filetree::isWithin("/inst2", "/inst"));
    EXPECT_FALSE(filetree::isWithin("/in", "/inst"));
    EXPECT_TRUE(filetree::isWithin("/anything", "/"));
}

TEST_F(InstalledCopyTest, LinksIntoTheInstallationStayAndLinksOutOfItAreReplaced) {
    const bool root = ::geteuid() == 0;
    writeProgramFile("a.dll", "new a", 0644);
    writeProgramFile("tool", "new tool", 0755);
    writeProgramFile("nowhere.dll", "new nowhere", 0644);
    writeProgramFile("sub/b.dll", "new b", 0644);
    // A versioned library and its link; a link into a folder of the installation.
    writeInstalled(folder.install() / "a.dll.1", "old a", 0640);
    fs::create_symlink("a.dll.1", folder.install() / "a.dll");
    writeInstalled(folder.install() / "lib" / "b.dll.2", "old b", 0600);
    fs::create_directories(folder.install() / "sub");
    fs::create_symlink("../lib/b.dll.2", folder.install() / "sub" / "b.dll");
    // A program of the system, and a link that leads nowhere.
    const fs::path outside = dir / "outside" / "passwd";
    writeInstalled(outside, "outside", root ? 04755 : 0755, root ? 65534 : ::geteuid());
    fs::create_symlink(outside, folder.install() / "tool");
    fs::create_symlink("missing.dll", folder.install() / "nowhere.dll");

    const ProgramResult result = runUnattended();
    EXPECT_EQ(result.status, 0) << result.err;
    // Nothing failed: the copy-only run stays silent.
    EXPECT_EQ(result.out, kQuestion) << result.err;

    EXPECT_TRUE(fs::is_symlink(folder.install() / "a.dll"));
    EXPECT_EQ(readFile(folder.install() / "a.dll.1"), "new a");
    EXPECT_EQ(statusOf(folder.install() / "a.dll.1").st_mode & 07777, 0640u);
    EXPECT_TRUE(fs::is_symlink(folder.install() / "sub" / "b.dll"));
    EXPECT_EQ(readFile(folder.install() / "lib" / "b.dll.2"), "new b");

    EXPECT_EQ(readFile(outside), "outside");
    EXPECT_EQ(statusOf(outside).st_mode & 07777, root ? 04755u : 0755u);
    for (const char* name : {"tool", "nowhere.dll"}) {
        const struct stat replaced = statusOf(folder.install() / name);
        EXPECT_TRUE(S_ISREG(replaced.st_mode)) << name;
        EXPECT_EQ(replaced.st_uid, ::geteuid()) << name;
        EXPECT_EQ(replaced.st_mode & 06000, 0u) << name;
    }
    EXPECT_EQ(readFile(folder.install() / "tool"), "new tool");
    EXPECT_FALSE(fs::exists(folder.install() / "missing.dll"));
    const std::string log = folder.log();
    EXPECT_NE(log.find(pathToUtf8(folder.install() / "tool") + " -> " + pathToUtf8(outside)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("nowhere.dll"), std::string::npos) << log;
}

TEST_F(InstalledCopyTest, TemporaryFilesOfCopiesThatNoLongerRunAreRemoved) {
    folder.writeProgramFile("sub/x.dll", "new");
    // A process that has ended; this one, which runs; and a name of another kind.
    const pid_t ended = ::fork();
    if (ended == 0) {
        ::_exit(0);
    }
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);
    const filetree::ProcessStamp self = filetree::thisProcess();
    const fs::path sub = folder.install() / "sub";
    const std::string dead = ".P_Update-" + std::to_string(ended) + "-1-77-1.tmp";
    // This process's number with another start: a process that had the number before.
    const std::string reused =
        ".P_Update-" + std::to_string(self.id) + "-" + std::to_string(self.start + 1) + "-77-1.tmp";
    const std::string alive =
        ".P_Update-" + std::to_string(self.id) + "-" + std::to_string(self.start) + "-77-1.tmp";
    for (const std::string& name : {dead, reused, alive, std::string(".P_Update-77-1.tmp")}) {
        writeFile(sub / name, "part of a file");
    }

    const ProgramResult result = runUnattended();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(sub / "x.dll"), "new");
    EXPECT_FALSE(fs::exists(sub / dead));
    EXPECT_FALSE(fs::exists(sub / reused));
    EXPECT_TRUE(fs::exists(sub / alive));
    EXPECT_TRUE(fs::exists(sub / ".P_Update-77-1.tmp"));
    EXPECT_NE(folder.log().find("已删除上次中断的复制留下的临时文件: " + pathToUtf8(sub / dead)),
              std::string::npos)
        << folder.log();
}

int fromEnvironment(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

// Killed at any moment of a copy of many files, the installation holds every file either
// as it was or as the package has it, whole; the next run removes what was left and
// completes the copy. P_UPDATE_KILLS and P_UPDATE_KILL_SEED make it kill more often
// (scripts/kill-copy.sh).
TEST_F(InstalledCopyTest, KilledCopyLeavesEveryFileWholeAndTheNextRunCleansUp) {
    std::map<std::string, std::string> files;
    for (int i = 0; i < 240; ++i) {
        const std::string name = "d" + std::to_string(i % 8) + "/f" + std::to_string(i) + ".dll";
        files[name] = std::string(i == 0 ? 48 << 20 : 32 << 10, static_cast<char>('a' + i % 26));
        folder.writeProgramFile(name, files[name]);
    }
    // Half of the files installed in an older version, the other half new to it.
    const auto installOldVersion = [&] {
        int i = 0;
        for (const auto& [name, bytes] : files) {
            if (i++ % 2 == 0) {
                writeFile(folder.install() / name, "old " + name);
            } else {
                fs::remove(folder.install() / name);
            }
        }
    };
    // How long a whole run takes here, so that the kills fall inside it.
    installOldVersion();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(runUnattended().status, 0);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();

    const int kills = fromEnvironment("P_UPDATE_KILLS", 4);
    std::mt19937 random(static_cast<unsigned>(fromEnvironment("P_UPDATE_KILL_SEED", 19)));
    int halfway = 0; // kills that left both old and new files, or temporary ones
    for (int kill = 0; kill < kills; ++kill) {
        // What earlier kills left of temporary files stays for the next run to remove.
        installOldVersion();
        ProgramProcess process(program, database->odbcTemplate(),
                               dir / ("killed" + std::to_string(kill)));
        process.start({pathToUtf8(folder.install()), database->name()}, "y\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (took + 1)));
        process.wait(0s); // SIGKILL, unless it has ended
        std::size_t fresh = 0;
        for (const auto& [name, bytes] : files) {
            const fs::path installed = folder.install() / name;
            if (fs::exists(installed)) {
                const std::string now = readFile(installed);
                EXPECT_TRUE(now == bytes || now == "old " + name) << name << " is in part";
                fresh += now == bytes ? 1 : 0;
            }
        }
        halfway += (fresh > 0 && fresh < files.size()) || !temporaryFiles(folder.install()).empty();
    }
    std::cout << kills << " kills in runs of " << took << " ms, " << halfway
              << " in the middle of the copy\n";
    const ProgramResult result = runUnattended();
    EXPECT_EQ(result.status, 0) << result.err;
    for (const auto& [name, bytes] : files) {
        EXPECT_TRUE(readFile(folder.install() / name) == bytes) << name;
    }
    EXPECT_EQ(temporaryFiles(folder.install()), std::vector<std::string>{});
}

// Asked to stop in the middle of a large file, the copy stops at once, removes what it had
// written of it and leaves the installed file as it was. In a child process, whose
// noted request cannot reach the other tests.
TEST_F(InstalledCopyTest, RequestToStopEndsTheCopyInsideALargeFile) {
    folder.writeProgramFile("big.dat", std::string(512 << 20, 'n'));
    writeFile(folder.install() / "big.dat", "old");
    const pid_t child = ::fork();
    if (child == 0) {
        watchForInterruption();
        RunBench bench(folder, *database);
        // The request comes once the new file is being written.
        std::thread requester([&] {
            while (temporaryFiles(folder.install()).empty()) {
                std::this_thread::sleep_for(1ms);
            }
            ::kill(::getpid(), SIGINT);
        });
        bench.run.CopyProgramFiles();
        requester.join();
        const bool kept = readFile(folder.install() / "big.dat") == "old";
        const bool clean = temporaryFiles(folder.install()).empty();
        const bool quiet = bench.run.records().total() == 0;
        ::_exit(kept && clean && quiet ? 0 : 1 + !kept + 2 * !clean + 4 * !quiet);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1 + 1: replaced, 2: temporary file left, 4: logged";
}

TEST_F(InstalledCopyTest, CopyIntoThePackageItselfLeavesWhatTheRunChecked) {
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n");
    folder.writeProgramFile("UpdateSql/a.sql", "insert into t values (666)\r\n");
    folder.writeProgramFile("Update.ini", "[Updatefile]\r\n");
    folder.writeProgramFile(pathToUtf8(program.filename()), "not a program");
    folder.writeProgramFile("ReException.Log", "a log of the package's author");
    folder.writeProgramFile("app.dll", "new");
    const std::string settings = readFile(folder.package() / "Update.ini");
    const auto programSize = fs::file_size(program);

    const ProgramResult result =
        runProgram(program, database->odbcTemplate(), dir / "process",
                   {pathToUtf8(folder.package()), database->name()}, "y\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ids(), std::vector<std::string>{"1"});
    EXPECT_EQ(readFile(folder.package() / "app.dll"), "new");
    EXPECT_EQ(readFile(folder.package() / "Update.ini"), settings);
    EXPECT_EQ(fs::file_size(program), programSize);
    EXPECT_NE(result.err.find("本次升级有 4 处程序文件复制出错"), std::string::npos) << result.err;
    // The run's log holds its own records only, the package's file of that name refused.
    const std::string log = folder.log();
    EXPECT_EQ(log.find("a log of the package's author"), std::string::npos) << log;
    EXPECT_NE(log.find("UpdatePro/ReException.Log] ["), std::string::npos) << log;
    EXPECT_NE(log.find("不能复制到升级包自己的脚本文件夹中"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("不能覆盖升级包自己的文件"), std::string::npos) << log;
}

TEST_F(InstalledCopyTest, CopyOnlyPackageTellsWhatItCouldNotCopy) {
    folder.writeProgramFile("app.dll", "new");
    folder.writeProgramFile("blocked", "new");
    fs::create_directories(folder.install() / "blocked" / "inside");

    const ProgramResult result = runUnattended();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::string(kQuestion) + "系统提示: 程序文件复制完毕，但有 1 处出错！\n");
    EXPECT_TRUE(result.err.ends_with("本次升级有 1 处程序文件复制出错。\n"
                                     "详细记录见 ReException.Log。\n"))
        << result.err;
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
}

} // namespace
} // namespace pupdate::testing
