// The road of one run, from the input check to closing the window, and the program-file
// copy, on a real SQLite database through the SQLite3 ODBC driver. What only one platform
// has is in run_posix_test.cpp and run_win_test.cpp.

#include "code_page.h"
#include "file_tree.h"
#include "run_fixture.h"

#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;

TEST_F(RunTest, InputCheckReportsOnlyTheFirstBlankFieldAndConnectsNowhere) {
    run.settings().server = " \t";
    run.settings().database = "";
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::InputRejected);
    EXPECT_EQ(person.events, std::vector<std::string>{"inform:服务器名不能为空"});
    EXPECT_TRUE(run.ConnStr().empty());

    person.events.clear();
    run.settings().server = "(local)";
    run.settings().database = "\x01 ";
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::InputRejected);
    EXPECT_EQ(person.events, std::vector<std::string>{"inform:数据库名不能为空"});
    EXPECT_FALSE(run.ADOCONN().isOpen());
}

TEST_F(RunTest, FailedConnectionShowsNoBoxTheStatusSaysWhyAndTheWindowStaysOpen) {
    folder.writeProgramFile("a.txt", "new");
    run.setOdbcTemplate("Driver={No Such Driver};Database=%DATABASE%");
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::ConnectionFailed);
    // The reason in the operator's words, the driver manager's message beside it.
    ASSERT_EQ(person.events.size(), 2u) << ::testing::PrintToString(person.events);
    EXPECT_EQ(person.events[0], "status:连接数据库失败！");
    EXPECT_EQ(person.events[1].rfind("status-detail:[unixODBC]", 0), 0u) << person.events[1];
    EXPECT_EQ(person.windowCloses, 0);
    EXPECT_FALSE(fs::exists(folder.install() / "a.txt"));
    EXPECT_TRUE(folder.log().empty());
}

TEST_F(RunTest, FailedVersionProbeEscapesWithTheWindowOpen) {
    database->exec("drop table gs_ver");
    folder.writeProgramFile("a.txt", "new");
    EXPECT_THROW(run.Bt_OkClick(), odbc::OdbcError);
    EXPECT_EQ(person.windowCloses, 0);
    EXPECT_FALSE(person.saw("confirm:是否已经退出人力资源管理软件？"));
    EXPECT_FALSE(fs::exists(folder.install() / "a.txt"));
}

TEST_F(RunTest, DeclinedConfirmationCopiesNothingAndCloses) {
    folder.writeProgramFile("a.txt", "new");
    folder.writeUpdateList("s.sql:IsAccess");
    folder.writeScript("s.sql", "update gs_ver set verdate = 'x'\r\n");
    person.answerYes = false;
    const auto before = database->column("select verdate from gs_ver");
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::Declined);
    EXPECT_EQ(person.events,
              (std::vector<std::string>{"confirm:是否已经退出人力资源管理软件？", "close"}));
    EXPECT_FALSE(fs::exists(folder.install()));
    EXPECT_EQ(database->column("select verdate from gs_ver"), before);
}

TEST_F(RunTest, PackageWithNeitherFolderIsReported) {
    folder.writeUpdateList("s.sql:IsAccess");
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::NoPackage);
    EXPECT_EQ(person.events, (std::vector<std::string>{
                                 "confirm:是否已经退出人力资源管理软件？",
                                 "inform:对不起!没有找到升级文件,请检查升级包是否有效!", "close"}));
}

TEST_F(RunTest, CopyOnlyPackageWithoutSettingsFileClosesWithoutOutcomeMessage) {
    folder.writeProgramFile("P_Main.exe", "program");
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::Completed);
    EXPECT_EQ(readFile(folder.install() / "P_Main.exe"), "program");
    EXPECT_TRUE(run.UpdateFiles().empty());
    EXPECT_TRUE(person.eventsWithPrefix("inform:").empty());
    EXPECT_EQ(person.windowCloses, 1);
}

// A settings file without a list is a copy-only package unless it has scripts to run.
TEST_F(RunTest, CopyOnlyPackageWithASettingsFileWithoutAListClosesSilently) {
    folder.writeProgramFile("P_Main.exe", "program");
    writeFile(folder.package() / "Update.ini", "[Updatefile]\r\n");
    fs::create_directories(folder.package() / "UpdateSql");

    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::Completed);
    EXPECT_EQ(readFile(folder.install() / "P_Main.exe"), "program");
    EXPECT_TRUE(person.eventsWithPrefix("inform:").empty());
    EXPECT_EQ(run.records().total(), 0u);

    folder.writeScript("s.sql", "update gs_ver set verdate = 'x'\r\n");
    person.events.clear();
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::Completed);
    EXPECT_TRUE(person.saw("inform:升级脚本没有执行！"));
    // One reading was tried, and the record says so.
    EXPECT_NE(folder.log().find("按 GBK 读找不到升级列表"), std::string::npos) << folder.log();
}

TEST_F(RunTest, BlankUpdateListRunsNoScripts) {
    folder.writeProgramFile("a.txt", "new");
    folder.writeUpdateList(" \t ");
    folder.writeScript("s.sql", "update gs_ver set verdate = 'x'\r\n");
    const auto before = database->column("select verdate from gs_ver");
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::Completed);
    EXPECT_TRUE(person.eventsWithPrefix("inform:").empty());
    EXPECT_EQ(database->column("select verdate from gs_ver"), before);
}

TEST_F(RunTest, ScriptsWithoutProgramFilesAreAppliedInAnyLetterCaseOfTheFolder) {
    folder.writeUpdateList("s.sql:IsAccess");
    writeFile(folder.package() / "updatesql" / "S.SQL",
              "update gs_ver set verdate = '2026-12-08'\r\n");
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::Completed);
    EXPECT_FALSE(fs::exists(folder.install()));
    EXPECT_TRUE(person.saw("inform:升级完毕！"));
    EXPECT_EQ(database->column("select verdate from gs_ver"),
              std::vector<std::string>{"2026-12-08"});
}

TEST_F(RunTest, OutcomeOffersTheRecordsOfThisRunCountedByKind) {
    // A record of an earlier run, which is not this run's.
    writeFile(folder.package() / "ReException.Log", "earlier run\r\n");
    folder.writeProgramFile("a.txt", "a");
    folder.writeProgramFile("blocked", "b");
    fs::create_directories(folder.install() / "blocked" / "inside");
    folder.writeUpdateList("s.sql:IsAccess");
    folder.writeScript("s.sql", "update gs_ver set verdate = 'x'\r\n"
                                "insert into nowhere values (1)\r\n"
                                "insert into nowhere values (2)\r\n");
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::Completed);

    EXPECT_EQ(person.eventsWithPrefix("inform-summary:"),
              std::vector<std::string>{"本次升级有 2 条语句执行失败，1 处程序文件复制出错。\n"
                                       "详细记录见 ReException.Log。"});
    const std::vector<std::string> details = person.eventsWithPrefix("inform-details:");
    ASSERT_EQ(details.size(), 1u);
    // The three records as the log holds them (line breaks as "\n", records set apart by
    // an empty line): compared line by line, empty lines left out.
    const auto lines = [](std::string text) {
        std::vector<std::string> found;
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
            if (end > at) {
                found.push_back(text.substr(at, end - at));
            }
            at = end + 1;
        }
        return found;
    };
    const std::string log = folder.log();
    EXPECT_EQ(lines(details[0]), lines(log.substr(std::string("earlier run\r\n").size())));
    EXPECT_NE(details[0].find("\n\n"), std::string::npos);
    EXPECT_EQ(details[0].find("earlier run"), std::string::npos);
    EXPECT_EQ(run.records().count(LogRecordKind::Copy), 1u);
    EXPECT_EQ(run.records().count(LogRecordKind::Statement), 2u);

    // The next run starts counting afresh: a clean run offers nothing, though it names
    // in the log the encoding of a script it did not read as GBK.
    person.events.clear();
    folder.writeScript("s.sql", "update gs_ver set verdate = '二〇二五年'\r\n", true);
    fs::remove_all(folder.package() / "UpdatePro");
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::Completed);
    EXPECT_TRUE(person.saw("inform:升级完毕！"));
    EXPECT_TRUE(person.eventsWithPrefix("inform-").empty());
    EXPECT_EQ(run.records().total(), 1u);
    EXPECT_EQ(run.records().count(LogRecordKind::Encoding), 1u);
    EXPECT_NE(folder.log().find("按 UTF-8 编码读取脚本文件: "), std::string::npos);
}

TEST_F(RunTest, UpdateListThatIsNotTextEndsTheRunBeforeTheQuestion) {
    folder.writeProgramFile("a.txt", "new");
    writeFile(folder.package() / "Update.ini",
              std::string("[Updatefile]\r\n\xCB\xB3\xD0\xF2=\xff"));
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::PackageRejected);
    // Refused like every other failure: the reason once, in the details.
    EXPECT_EQ(person.eventsWithPrefix("inform:"), std::vector<std::string>{"升级处理失败！"});
    const std::vector<std::string> summary = person.eventsWithPrefix("inform-summary:");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].rfind("失败原因：升级设置文件中的升级列表（顺序）不是有效的文本：", 0), 0u)
        << summary[0];
    EXPECT_FALSE(person.saw("confirm:是否已经退出人力资源管理软件？"));
    EXPECT_EQ(person.events.back(), "close");
    EXPECT_FALSE(fs::exists(folder.install() / "a.txt"));
    EXPECT_NE(folder.log().find("Update.ini"), std::string::npos);
}

TEST_F(CopyTest, CreatesMissingFoldersReplacesFilesAndKeepsOthers) {
    folder.writeProgramFile("P_Main.exe", "new main");
    folder.writeProgramFile("bin/report.dll", "new report");
    folder.writeProgramFile("bin/deep/more/x.dat", "x");
    writeFile(folder.install() / "P_Main.exe", "old main");
    writeFile(folder.install() / "user.cfg", "keep me");
    run.CopyProgramFiles();

    EXPECT_EQ(readFile(folder.install() / "P_Main.exe"), "new main");
    EXPECT_EQ(readFile(folder.install() / "bin" / "report.dll"), "new report");
    EXPECT_EQ(readFile(folder.install() / "bin" / "deep" / "more" / "x.dat"), "x");
    EXPECT_EQ(readFile(folder.install() / "user.cfg"), "keep me");
    EXPECT_TRUE(folder.log().empty());
    EXPECT_EQ(person.eventsWithPrefix("progress:max:"), std::vector<std::string>{"3"});
    EXPECT_EQ(person.eventsWithPrefix("progress:pos:").back(), "3");
    EXPECT_EQ(person.openProgressCount, 0);
}

TEST_F(CopyTest, ExistingFoldersAreMatchedWithoutRegardToLetterCase) {
    folder.writeProgramFile("BIN/Report.dll", "new");
    writeFile(folder.install() / "bin" / "report.dll", "old");
    run.CopyProgramFiles();
    EXPECT_EQ(readFile(folder.install() / "bin" / "report.dll"), "new");
    // By the name the installation has, with no twin beside it.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.install())) {
        names.push_back(pathToUtf8(entry.path().filename()));
    }
    EXPECT_EQ(names, std::vector<std::string>{"bin"});
}

TEST_F(CopyTest, FileThatCannotBeCopiedIsLoggedAndTheRestGoesOn) {
    folder.writeProgramFile("a.txt", "a");
    folder.writeProgramFile("blocked", "b");
    folder.writeProgramFile("z.txt", "z");
    // A folder in the installation where the package has a file cannot be replaced.
    fs::create_directories(folder.install() / "blocked" / "inside");
    run.CopyProgramFiles();
    EXPECT_EQ(readFile(folder.install() / "a.txt"), "a");
    EXPECT_EQ(readFile(folder.install() / "z.txt"), "z");
    const std::string log = folder.log();
    EXPECT_NE(log.find("blocked"), std::string::npos) << log;
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
}

TEST_F(CopyTest, EmptyProgramFolderCopiesNothingAndTheRunGoesOn) {
    fs::create_directories(folder.package() / "UpdatePro");
    folder.writeUpdateList("s.sql:IsAccess");
    folder.writeScript("s.sql", "update gs_ver set verdate = 'y'\r\n");
    EXPECT_EQ(run.Bt_OkClick(), RunOutcome::Completed);
    EXPECT_TRUE(fs::is_directory(folder.install()));
    EXPECT_TRUE(fs::is_empty(folder.install()));
    EXPECT_EQ(database->column("select verdate from gs_ver"), std::vector<std::string>{"y"});
}

TEST_F(CopyTest, InstallationFolderThatCannotBeMadeIsLogged) {
    folder.writeProgramFile("a.txt", "a");
    writeFile(dir / "plainfile", "not a folder");
    run.settings().installFolder = pathToUtf8(dir / "plainfile" / "sub");
    run.CopyProgramFiles();
    EXPECT_NE(folder.log().find("plainfile"), std::string::npos);

    run.settings().installFolder.clear();
    run.CopyProgramFiles();
    EXPECT_NE(folder.log().find("安装目录为空"), std::string::npos);
}

// A temporary file of a copy whose process has ended is removed and the log says so; one
// of a copy that still runs (this one) is left alone.
TEST_F(CopyTest, TemporaryFileOfAnEndedCopyIsRemovedAndOneOfARunningCopyKept) {
    folder.writeProgramFile("a.txt", "a");
    const filetree::ProcessStamp self = filetree::thisProcess();
    const std::string ended = ".P_Update-0-1-5-1.tmp";
    const std::string running =
        ".P_Update-" + std::to_string(self.id) + "-" + std::to_string(self.start) + "-5-1.tmp";
    writeFile(folder.install() / ended, "part");
    writeFile(folder.install() / running, "part");
    run.CopyProgramFiles();
    EXPECT_FALSE(fs::exists(folder.install() / ended));
    EXPECT_TRUE(fs::exists(folder.install() / running));
    EXPECT_NE(folder.log().find(ended), std::string::npos) << folder.log();
    // A note, not a copy error.
    EXPECT_EQ(run.records().count(LogRecordKind::Copy), 0u);
    EXPECT_EQ(run.records().count(LogRecordKind::Notice), 1u);
}

} // namespace
} // namespace pupdate::testing
