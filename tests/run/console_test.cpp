// The program P_Update itself, unattended in the console: what the operator reads, what
// it answers, and the exit status an installer sees.

#include "program_process.h"
#include "run_fixture.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

constexpr const char* kQuestion = "系统提示: 是否已经退出人力资源管理软件？ [Y/N] ";

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override { database->exec("create table t (id integer primary key)"); }

    // Runs the program from the package with the given arguments; `input` comes through a
    // pipe, as from `echo 是 | P_Update ...`.
    ProgramResult runProgram(const Strings& arguments, const std::string& input,
                             ProgramStreams streams = {.input = ProgramStreams::Input::Pipe},
                             const std::string& odbcTemplate = std::string()) {
        ProgramProcess process(program,
                               odbcTemplate.empty() ? database->odbcTemplate() : odbcTemplate,
                               dir / ("process" + std::to_string(++m_runs)));
        process.start(arguments, input, streams);
        return process.wait(120s);
    }
    Strings installArgs() const { return {pathToUtf8(folder.install()), "zeltinfo"}; }
    Strings ids() const { return database->column("select id from t order by id"); }

    TempDir dir;
    PackageFolder folder{dir};
    fs::path program = installProgram(folder.package());
    std::unique_ptr<TestDatabase> database = makeDatabase(Backend::Sqlite, dir);
    int m_runs = 0;
};

TEST_F(ConsoleTest, FullRunAnsweredYes) {
    folder.writeProgramFile("bin/a.dll", "new");
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\ninsert into nowhere values (2)\r\n");
    const ProgramResult result = runProgram(installArgs(), "是\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "系统提示: 是否已经退出人力资源管理软件？ [Y/N] 是\n"
                          "状态: 更新成功！\n"
                          "系统提示: 升级完毕！\n");
    // Not a terminal: a line per change of text, never one per statement.
    EXPECT_NE(result.err.find("正在复制程序文件\n正在复制程序文件 1/1\n"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("正在提交数据......\n提交成功！\n"), std::string::npos) << result.err;
    // The account of the run's records follows the final message.
    EXPECT_TRUE(result.err.ends_with("\n本次升级有 1 条语句执行失败。\n"
                                     "详细记录见 ReException.Log。\n"))
        << result.err;
    EXPECT_EQ(readFile(folder.install() / "bin" / "a.dll"), "new");
    EXPECT_EQ(database->column("select id from t"), std::vector<std::string>{"1"});
    EXPECT_NE(folder.log().find("nowhere"), std::string::npos);
}

TEST_F(ConsoleTest, ExitStatusTellsTheInstallerWhatHappened) {
    folder.writeProgramFile("a.txt", "new");
    // Declined, or no answer at all.
    EXPECT_EQ(runProgram(installArgs(), "n\n").status, 2);
    EXPECT_EQ(runProgram(installArgs(), "").status, 2);
    EXPECT_FALSE(fs::exists(folder.install()));
    // Copy only.
    ProgramResult result = runProgram(installArgs(), " yes \n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "系统提示: 是否已经退出人力资源管理软件？ [Y/N]  yes \n");
    // A failing walk.
    folder.writeUpdateList("missing.sql:IsAccess");
    fs::create_directories(folder.package() / "UpdateSql");
    result = runProgram(installArgs(), "y\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("系统提示: 升级处理失败！\n"), std::string::npos);
    EXPECT_NE(result.err.find("失败原因："), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("missing.sql"), std::string::npos) << result.err;
}

TEST_F(ConsoleTest, RunsThatCannotStartEndWithStatusOne) {
    // Neither package folder.
    ProgramResult result = runProgram(installArgs(), "Y\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("对不起!没有找到升级文件,请检查升级包是否有效!"), std::string::npos);
    // A database name of blanks inside quotes.
    result = runProgram({pathToUtf8(folder.install()), " "}, "Y\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "系统提示: 数据库名不能为空\n");
    // A failed connection asks nothing: the status says why, the driver manager's
    // message is on standard error.
    result = runProgram(installArgs(), "Y\n", {.input = ProgramStreams::Input::Pipe},
                        "Driver={None};Database=x");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "状态: 连接数据库失败！\n");
    EXPECT_NE(result.err.find("[unixODBC]"), std::string::npos) << result.err;
}

TEST_F(ConsoleTest, FailedVersionProbeIsTheProcessLevelReport) {
    database->exec("drop table gs_ver");
    const ProgramResult result = runProgram(installArgs(), "Y\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("Application Error: pupdate::odbc::OdbcError: ", 0), 0u)
        << result.err;
    EXPECT_NE(result.err.find("gs_ver"), std::string::npos);
}

TEST_F(ConsoleTest, InteractiveModeWithoutADisplayExplainsHowToRunUnattended) {
    // A pair of double quotes at the start of an argument is skipped like a blank.
    for (const Strings& arguments :
         {Strings{}, Strings{pathToUtf8(folder.install())}, Strings{"\"\"", "zeltinfo"}}) {
        const ProgramResult result = runProgram(arguments, "", {.consoleRequested = false});
        EXPECT_EQ(result.status, 1) << ::testing::PrintToString(arguments);
        EXPECT_NE(result.err.find("P_Update <installation folder> <database name>"),
                  std::string::npos);
        EXPECT_TRUE(result.out.empty());
    }
}

TEST_F(ConsoleTest, ChineseNamesReachTheProgramThroughItsCommandLineAndItsPackage) {
    // An installation folder of Chinese name with a blank, which the command line quotes,
    // and a script named in the list in another letter case than on disk.
    const fs::path install = dir / "安装 目录";
    folder.writeProgramFile("程序/报表.dll", "new");
    folder.writeUpdateList("\"工资 调整.SQL:IsAccess\"");
    folder.writeScript("工资 调整.sql", "insert into t values (1)\r\n");
    const ProgramResult result = runProgram({pathToUtf8(install), "zeltinfo"}, "是\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::string(kQuestion) + "是\n状态: 更新成功！\n系统提示: 升级完毕！\n");
    EXPECT_EQ(readFile(install / pathFromUtf8("程序/报表.dll")), "new");
    EXPECT_EQ(ids(), Strings{"1"});
    // The script by the name it has on disk.
    const fs::path script = folder.package() / "UpdateSql" / pathFromUtf8("工资 调整.sql");
    EXPECT_NE(result.err.find("正在校验：" + pathToUtf8(script) + "\n"), std::string::npos)
        << result.err;
    EXPECT_TRUE(folder.log().empty()) << folder.log();
}

// An operator who starts the same package twice at once: one run gets it, the other is
// refused at once and changes nothing.
TEST_F(ConsoleTest, TwoRunsStartedTogetherApplyThePackageOnce) {
    folder.writeProgramFile("app.dll", "new");
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n"
                                "insert into t values (2)\r\n"
                                "update gs_ver set verdate = verdate || '+'\r\n");
    ProgramProcess first(program, database->odbcTemplate(), dir / "first");
    ProgramProcess second(program, database->odbcTemplate(), dir / "second");
    // Both wait for their answer, so the one that gets the package holds it while the
    // other starts, however the two are scheduled.
    first.start(installArgs(), "", {.input = ProgramStreams::Input::Later});
    second.start(installArgs(), "", {.input = ProgramStreams::Input::Later});

    ProgramProcess* waiting = nullptr;
    ProgramProcess* refused = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (refused == nullptr && std::chrono::steady_clock::now() < deadline) {
        if (!first.running()) {
            refused = &first;
            waiting = &second;
        } else if (!second.running()) {
            refused = &second;
            waiting = &first;
        } else {
            std::this_thread::sleep_for(20ms);
        }
    }
    ASSERT_NE(refused, nullptr) << "neither run was refused";
    const ProgramResult refusal = refused->wait(10s);
    EXPECT_EQ(refusal.status, 1) << refusal.err;
    EXPECT_EQ(refusal.out,
              "系统提示: 对不起!另一个升级程序正在升级这个数据库或安装目录,请等它结束后再试!\n");
    EXPECT_TRUE(refusal.err.empty()) << refusal.err;
    EXPECT_FALSE(fs::exists(folder.install())) << "the refused run copied";

    while (waiting->outputSoFar() != kQuestion && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(waiting->outputSoFar(), kQuestion);
    waiting->answer("y\n");
    const ProgramResult run = waiting->wait(120s);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("系统提示: 升级完毕！\n"), std::string::npos) << run.out;
    EXPECT_EQ(ids(), (Strings{"1", "2"}));
    EXPECT_EQ(database->column("select verdate from gs_ver"), Strings{"2003-06-01+"});
    EXPECT_EQ(readFile(folder.install() / "app.dll"), "new");
    EXPECT_TRUE(folder.log().empty()) << folder.log();

    // The lock went with the run: the package can be run again.
    EXPECT_EQ(runProgram(installArgs(), "n\n").status, 2);
}

// One package for two products at once, each with its own database and installation
// folder: neither keeps the other out.
TEST_F(ConsoleTest, OnePackageRunsForTwoProductsAtOnce) {
    SqliteDatabase salary(dir / "zeltsalary.db");
    salary.exec("create table t (id integer primary key)");
    folder.writeProgramFile("app.dll", "new");
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\n");
    const std::string both = SqliteDatabase::folderTemplate(dir.path());
    ProgramProcess product(program, both, dir / "product");
    ProgramProcess payroll(program, both, dir / "payroll");
    product.start({pathToUtf8(dir / "product"), "zeltinfo"}, "",
                  {.input = ProgramStreams::Input::Later});
    payroll.start({pathToUtf8(dir / "payroll"), "zeltsalary"}, "",
                  {.input = ProgramStreams::Input::Later});
    // Each asks its question while the other holds its locks.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while ((product.outputSoFar() != kQuestion || payroll.outputSoFar() != kQuestion) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(product.outputSoFar(), kQuestion);
    EXPECT_EQ(payroll.outputSoFar(), kQuestion);
    product.answer("y\n");
    payroll.answer("y\n");
    for (ProgramProcess* process : {&product, &payroll}) {
        const ProgramResult result = process->wait(120s);
        EXPECT_EQ(result.status, 0) << result.out << result.err;
    }
    EXPECT_EQ(ids(), Strings{"1"});
    ASSERT_EQ(salary.query("select id from t").size(), 1u);
    EXPECT_EQ(readFile(dir / "product" / "app.dll"), "new");
    EXPECT_EQ(readFile(dir / "payroll" / "app.dll"), "new");
}

} // namespace
} // namespace pupdate::testing
