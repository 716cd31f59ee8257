// P_Update_check as a process on both platforms (under Wine, P_Update_check.exe): its
// exit statuses and the words of its report. The comparison with the run itself is in
// check_test.cpp.

#include "host_path.h"
#include "program_process.h"
#include "run_fixture.h"

#include <chrono>
#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CheckStatusTest : public ::testing::Test {
protected:
    ProgramResult check(const std::vector<std::string>& arguments) {
        ProgramProcess process(pathFromHost(P_UPDATE_CHECK_BINARY), std::string(),
                               dir / ("process" + std::to_string(++m_runs)));
        process.start(arguments, "");
        return process.wait(120s);
    }

    TempDir dir;
    PackageFolder folder{dir};
    int m_runs = 0;
};

TEST_F(CheckStatusTest, ExitStatusSaysWhatTheRunWouldDo) {
    const std::string package = pathToUtf8(folder.package());
    EXPECT_EQ(check({}).status, 2);
    EXPECT_EQ(check({pathToUtf8(dir / "nowhere")}).status, 2);
    ProgramResult result = check({package});
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_NE(result.out.find("对不起!没有找到升级文件,请检查升级包是否有效!"), std::string::npos);

    folder.writeUpdateList("\"工资 调整.sql:IsAccess\"");
    folder.writeScript("工资 调整.sql", "update 工资 set 金额 = 0\r\n");
    folder.writeProgramFile("bin/报表.dll", "12345");
    result = check({package, pathToUtf8(folder.install())});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("编码: GBK（只有这一种读法是有效文本）  行数: 1  在升级的事务中"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("新增 1 个文件（5 字节），替换 0 个文件（0 字节），跳过 0 处"),
              std::string::npos)
        << result.out;
    EXPECT_FALSE(fs::exists(folder.install()));

    folder.writeScript("工资 调整.sql", "update 工资 set 金额 = 0\r\nGO\r\n");
    result = check({package});
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_NE(
        result.out.find(pathToUtf8(folder.package() / "UpdateSql" / pathFromUtf8("工资 调整.sql")) +
                        " 第 2 行: GO 单独成行"),
        std::string::npos)
        << result.out;
}

} // namespace
} // namespace pupdate::testing
