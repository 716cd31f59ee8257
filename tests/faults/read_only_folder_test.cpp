// The program folder is read-only, so ReException.Log cannot be written when an error has
// to be logged. That error is not swallowed: the run takes its failure path, tells it
// once ("升级处理失败！" with the log's error as the reason, an account that does not send
// the operator to the log) and ends with status 1. Nothing is committed and nothing is
// reported as applied.
//
// Running as root, permission bits do not stop a write, so the folder is made read-only
// by a read-only bind mount of itself. Where mounting is not permitted the test falls back
// to a ReException.Log that is a folder: opening it for appending fails the same way.

#include "fault_fixture.h"
#include "mounts.h"
#include "package_inspection.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <unistd.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;

class ReadOnlyProgramFolderTest : public FaultTest {
protected:
    void SetUp() override {
        useDatabase(Backend::Sqlite);
        database->exec("create table t (id integer primary key)");
    }

    // Makes the package folder unwritable for this process and the program it starts.
    void makeReadOnly() {
        if (::geteuid() != 0) {
            fs::permissions(folder.package(),
                            fs::perms::owner_write | fs::perms::group_write |
                                fs::perms::others_write,
                            fs::perm_options::remove);
            return;
        }
        mount = std::make_unique<Mount>(Mount::readOnly(folder.package()));
        if (!mount->mounted()) {
            std::cout << "read-only bind mount refused (" << mount->why()
                      << "); ReException.Log is made a folder instead\n";
            fs::create_directory(folder.package() / pathFromUtf8(kExceptionLogName));
        }
    }

    // "升级处理失败！" once, its reason the log's own error, and nothing that sends the
    // operator to the log.
    static void expectToldOnce(const ProgramResult& result) {
        EXPECT_EQ(result.out, "系统提示: 是否已经退出人力资源管理软件？ [Y/N] y\n"
                              "系统提示: 升级处理失败！\n");
        EXPECT_EQ(result.err.find("Application Error"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("失败原因：无法打开异常日志 "), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("ReException.Log 无法写入"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("详细记录见"), std::string::npos) << result.err;
    }

    std::unique_ptr<Mount> mount;
};

TEST_F(ReadOnlyProgramFolderTest, FailedStatementThatCannotBeLoggedFailsTheRunUnattended) {
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n"
                                "insert into missing_table values (2)\r\n"
                                "insert into t values (3)\r\n");
    makeReadOnly();

    const ProgramResult result = runUnattended();
    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.signal, 0) << result.err;
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("更新成功！"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("升级完毕！"), std::string::npos) << result.out;
    expectToldOnce(result);
    // The statement before the failing one was rolled back with the rest.
    EXPECT_TRUE(ids().empty());
    EXPECT_FALSE(fs::is_regular_file(folder.package() / pathFromUtf8(kExceptionLogName)));
}

TEST_F(ReadOnlyProgramFolderTest, FailurePathTellsTheLogErrorOnceAndFinishes) {
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n"
                                "insert into missing_table values (2)\r\n");
    makeReadOnly();

    RunBench bench(folder, *database);
    EXPECT_EQ(bench.run.Bt_OkClick(), RunOutcome::WalkFailed);
    // Told, rolled back and closed.
    EXPECT_GE(bench.person.windowCloses, 1);
    EXPECT_EQ(bench.run.ADOCONN().inTransaction(), 0);
    EXPECT_EQ(bench.person.eventsWithPrefix("inform:"), std::vector<std::string>{"升级处理失败！"});
    EXPECT_TRUE(bench.person.eventsWithPrefix("status:").empty());
    EXPECT_EQ(bench.person.openProgressCount, 0);
    bench.run.ADOCONN().close();
    EXPECT_TRUE(ids().empty());
}

TEST_F(ReadOnlyProgramFolderTest, CopyFailureThatCannotBeLoggedStopsTheRunBeforeTheScripts) {
    // The installation folder is a file, so the copy fails and has to log.
    writeFile(folder.install(), "not a folder");
    folder.writeProgramFile("bin/app.dll", "new");
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n");
    makeReadOnly();

    const ProgramResult result = runUnattended();
    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.status, 1);
    expectToldOnce(result);
    EXPECT_EQ(result.out.find("升级完毕！"), std::string::npos) << result.out;
    EXPECT_TRUE(ids().empty());
    EXPECT_EQ(readFile(folder.install()), "not a folder");
}

// An installation folder this account cannot write into: the check's copy plan skips the
// file the copy then fails to write, as root meets it on a read-only mount.
TEST_F(ReadOnlyProgramFolderTest, CopyPlanFindsAnInstallationFolderItCannotWrite) {
    folder.writeProgramFile("app.dll", "new");
    writeFile(folder.install() / "app.dll", "old");
    std::unique_ptr<Mount> locked;
    if (::geteuid() == 0) {
        locked = std::make_unique<Mount>(Mount::readOnly(folder.install()));
        if (!locked->mounted()) {
            GTEST_SKIP() << "read-only bind mount refused: " << locked->why();
        }
    } else {
        fs::permissions(folder.install(), fs::perms::all, fs::perm_options::remove);
        fs::permissions(folder.install(), fs::perms::owner_read | fs::perms::owner_exec,
                        fs::perm_options::add);
    }

    const PackageInspection inspection =
        inspectPackage(folder.package(), pathToUtf8(folder.install()));
    ASSERT_TRUE(inspection.copyPlan);
    const auto skips = std::count_if(
        inspection.copyPlan->items.begin(), inspection.copyPlan->items.end(),
        [](const CopyPlanItem& item) { return item.action == CopyPlanItem::Action::Skip; });
    EXPECT_EQ(skips, 1);

    const ProgramResult result = runUnattended();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("但有 1 处出错"), std::string::npos) << result.out << result.err;
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "old");
    if (::geteuid() != 0) {
        fs::permissions(folder.install(), fs::perms::owner_all, fs::perm_options::add);
    }
}

} // namespace
} // namespace pupdate::testing
