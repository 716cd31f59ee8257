#pragma once
// Messages of the run, exactly as the operator sees them.

#include <cstddef>
#include <string>

namespace pupdate::text {

inline constexpr const char* kServerBlank = "服务器名不能为空";
inline constexpr const char* kDatabaseBlank = "数据库名不能为空";
inline constexpr const char* kConfirmClosed = "是否已经退出人力资源管理软件？";
inline constexpr const char* kNoPackage = "对不起!没有找到升级文件,请检查升级包是否有效!";
inline constexpr const char* kChecking = "正在校验：";
inline constexpr const char* kCommitting = "正在提交数据......";
inline constexpr const char* kCommitted = "提交成功！";
inline constexpr const char* kStatusDone = "更新成功！";
inline constexpr const char* kFinished = "升级完毕！";
inline constexpr const char* kFailed = "升级处理失败！";
inline constexpr const char* kCopying = "正在复制程序文件";
inline constexpr const char* kAlreadyRunning =
    "对不起!另一个升级程序正在升级这个数据库或安装目录,请等它结束后再试!";
inline constexpr const char* kNoRunLock =
    "未能取得运行锁，本次升级没有防止另一个升级程序同时升级这个数据库或安装目录：";
// The outcome of a package that only copies, when some of its files could not be copied.
inline std::string copyFailures(std::size_t errors) {
    return "程序文件复制完毕，但有 " + std::to_string(errors) + " 处出错！";
}
inline constexpr const char* kInterrupted = "升级被中断";
inline constexpr const char* kScriptsNotRun = "升级脚本没有执行！";
inline constexpr const char* kListNotFoundNote =
    "升级设置文件中没有找到升级列表，没有执行任何脚本。";

} // namespace pupdate::text
