// The program P_Update itself, unattended in the console: what the operator reads, what
// it answers, and the exit status an installer sees.

#include "run_fixture.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Shell quoting for one argument.
std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy_file(P_UPDATE_BINARY, folder.package() / "P_Update");
        database->exec("create table t (id integer primary key)");
    }

    // Runs the program from the package with the given arguments and standard input.
    // `environment` holds assignments that override the template; `unset` env's -u options.
    Result runProgram(const std::string& arguments, const std::string& input,
                      const std::string& environment = "P_UPDATE_UI=console",
                      const std::string& unset = "") {
        writeFile(dir / "stdin", input);
        const std::string command =
            "env " + unset + " P_UPDATE_ODBC=" + quoted(database->odbcTemplate()) + " " +
            environment + " " + quoted((folder.package() / "P_Update").string()) + " " + arguments +
            " <" + quoted((dir / "stdin").string()) + " >" + quoted((dir / "stdout").string()) +
            " 2>" + quoted((dir / "stderr").string());
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir / "stdout"),
                readFile(dir / "stderr")};
    }
    std::string installArgs() const { return quoted(folder.install().string()) + " zeltinfo"; }

    TempDir dir;
    PackageFolder folder{dir};
    std::unique_ptr<TestDatabase> database = makeDatabase(Backend::Sqlite, dir);
};

TEST_F(ConsoleTest, FullRunAnsweredYes) {
    folder.writeProgramFile("bin/a.dll", "new");
    folder.writeUpdateList("a.sql:IsAccess");
    folder.writeScript("a.sql", "insert into t values (1)\r\ninsert into nowhere values (2)\r\n");
    const Result result = runProgram(installArgs(), "是\n");
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
    Result result = runProgram(installArgs(), " yes \n");
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
    Result result = runProgram(installArgs(), "Y\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("对不起!没有找到升级文件,请检查升级包是否有效!"), std::string::npos);
    // A database name of blanks inside quotes.
    result = runProgram(quoted(folder.install().string()) + " ' '", "Y\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "系统提示: 数据库名不能为空\n");
    // A failed connection asks nothing: the status says why, the driver manager's
    // message is on standard error.
    result = runProgram(installArgs(), "Y\n",
                        "P_UPDATE_UI=console P_UPDATE_ODBC='Driver={None};Database=x'");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "状态: 连接数据库失败！\n");
    EXPECT_NE(result.err.find("[unixODBC]"), std::string::npos) << result.err;
}

TEST_F(ConsoleTest, FailedVersionProbeIsTheProcessLevelReport) {
    database->exec("drop table gs_ver");
    const Result result = runProgram(installArgs(), "Y\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("Application Error: pupdate::odbc::OdbcError: ", 0), 0u)
        << result.err;
    EXPECT_NE(result.err.find("gs_ver"), std::string::npos);
}

TEST_F(ConsoleTest, InteractiveModeWithoutADisplayExplainsHowToRunUnattended) {
    for (const std::string& arguments :
         {std::string(), quoted(folder.install().string()), std::string("'\"\"' zeltinfo")}) {
        const Result result =
            runProgram(arguments, "", "", "-u DISPLAY -u WAYLAND_DISPLAY -u P_UPDATE_UI");
        EXPECT_EQ(result.status, 1) << arguments;
        EXPECT_NE(result.err.find("P_Update <installation folder> <database name>"),
                  std::string::npos);
        EXPECT_TRUE(result.out.empty());
    }
}

} // namespace
} // namespace pupdate::testing
