// P_Update_check: shows a package author what a run would do with an update package,
// without a database and without changing anything.
//
//   P_Update_check [--json] [--database <name>] [--dialect sqlserver|postgresql|sqlite]
//                  <package folder> [<installation folder>]
//
// Exit status: 0 the run would go ahead and nothing calls for attention, 1 the run would
// refuse the package, 3 the run would go ahead with warnings, 2 wrong arguments.

#include "check_report.h"
#include "command_line.h"
#include "console.h"
#include "package_inspection.h"
#include "utf8_path.h"

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kUsageError = 2;

const char* const kUsage =
    "用法: P_Update_check [--json] [--database <数据库名>] [--dialect <语法>] <升级包文件夹> "
    "[<安装目录>]\n"
    "按升级程序的方式读取升级包（Update."
    "ini、UpdatePro、UpdateSql），不连接数据库，不改动任何文件，\n"
    "列出升级列表、错误和警告；给出安装目录时还列出复制程序文件的计划。\n"
    "  --json       以一个 JSON 文档输出同样的内容\n"
    "  --database   osql 命令中的数据库名（默认以“数据库名”代替）\n"
    "  --dialect    按哪种数据库的语法查找事务控制语句: sqlserver（默认）、postgresql、sqlite\n"
    "退出状态: 0 升级可以进行，没有警告；1 升级程序会拒绝这个升级包；3 升级可以进行，但有警告；\n"
    "          2 参数有误或升级包文件夹不存在。\n";

} // namespace

int main(int argc, char** argv) {
    pupdate::protectStandardStreams();
    const pupdate::ConsoleStreams console = pupdate::standardConsole();
    bool json = false;
    std::string database;
    pupdate::SqlDialect dialect = pupdate::SqlDialect::SqlServer;
    std::vector<std::string> positional;
    const std::vector<std::string> arguments = pupdate::processArguments(argc, argv);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--json") {
            json = true;
        } else if (argument == "--database" && i + 1 < arguments.size()) {
            database = arguments[++i];
        } else if (argument == "--dialect" && i + 1 < arguments.size()) {
            const std::string& name = arguments[++i];
            if (name == "sqlserver") {
                dialect = pupdate::SqlDialect::SqlServer;
            } else if (name == "postgresql") {
                dialect = pupdate::SqlDialect::PostgreSql;
            } else if (name == "sqlite") {
                dialect = pupdate::SqlDialect::Sqlite;
            } else {
                console.err << "未知的语法: " << name << "\n" << kUsage << std::flush;
                return kUsageError;
            }
        } else if (argument == "--help" || argument == "-h" || argument == "/?") {
            console.out << kUsage << std::flush;
            return 0;
        } else if (argument.starts_with("--")) {
            console.err << "未知的选项: " << argument << "\n" << kUsage << std::flush;
            return kUsageError;
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.empty() || positional.size() > 2) {
        console.err << kUsage << std::flush;
        return kUsageError;
    }
    const std::filesystem::path package = pupdate::pathFromUtf8(positional[0]);
    std::error_code error;
    if (!std::filesystem::is_directory(package, error)) {
        console.err << "找不到升级包文件夹: " << positional[0] << "\n" << kUsage << std::flush;
        return kUsageError;
    }
    const std::optional<std::string> install =
        positional.size() > 1 ? std::optional(positional[1]) : std::nullopt;
    try {
        const pupdate::PackageInspection inspection =
            pupdate::inspectPackage(package, install, database, dialect);
        console.out << (json ? pupdate::checkReportJson(inspection)
                             : pupdate::checkReportText(inspection))
                    << std::flush;
        return inspection.exitStatus();
    } catch (const std::exception& failure) {
        // What the check could not read it cannot judge: not a verdict on the package.
        console.out << std::flush;
        console.err << "检查升级包时出错: " << failure.what() << std::endl;
        return kUsageError;
    }
}
