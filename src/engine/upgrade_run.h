#pragma once
// One upgrade run: input check, connection, update list, confirmation, program-file copy
// and script walk. The front end fills the settings and supplies the person; the run
// owns both database connections.

#include "connections.h"
#include "copy_plan.h"
#include "odbc.h"
#include "path_resolve.h"
#include "person.h"
#include "run_report.h"
#include "update_package.h"

#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pupdate {

// What the operator set (or the command line gave) for one run.
struct RunSettings {
    std::string server = "(local)"; // E_Server
    std::string database;           // E_db
    std::string installFolder;      // E_Position, used exactly as typed
    int upgradeItem = 0;            // E_type index
};

// How a run ended; decides the exit status of an unattended run.
enum class RunOutcome {
    AlreadyRunning,   // another run holds the database or the installation folder
    InputRejected,    // CheckInput failed; nothing else happened
    ConnectionFailed, // OpenDatabase returned false
    PackageRejected,  // Update.ini could not be read, or its list is not valid text
    Declined,         // the operator did not confirm
    NoPackage,        // neither UpdatePro nor UpdateSql
    Completed,        // copy and/or scripts carried out
    WalkFailed,       // the script walk took the failure path
    Interrupted,      // asked to stop (a signal, the console closed); what was open rolled back
};

// Exit status of an unattended run: 0 when the upgrade was carried out, 2 when the
// operator declined, 1 when it failed or could not start.
int unattendedExitStatus(RunOutcome outcome);

// The class name of an error, for the process-level report ("Application Error").
std::string errorKindName(const std::exception& error);

// Messages of the run, exactly as the operator sees them.
namespace text {
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
std::string copyFailures(std::size_t errors);
inline constexpr const char* kInterrupted = "升级被中断";
inline constexpr const char* kScriptsNotRun = "升级脚本没有执行！";
inline constexpr const char* kListNotFoundNote =
    "升级设置文件中没有找到升级列表，没有执行任何脚本。";
} // namespace text

// The keys of what a run must have to itself (RunLock): the database as the connection
// names it, and the installation folder with its links resolved.
std::vector<std::string> runLockKeys(const RunSettings& settings, std::string_view odbcTemplate);

// Raised inside the walk when the run has been asked to stop; its message is the record
// the run leaves in the log.
class RunInterrupted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class UpgradeRun {
public:
    UpgradeRun(Person& person, std::filesystem::path programFolder);

    RunSettings& settings() { return m_settings; }
    const RunSettings& settings() const { return m_settings; }
    const std::filesystem::path& programFolder() const { return m_programFolder; }
    // The ODBC template; defaults to P_UPDATE_ODBC or the FreeTDS one.
    void setOdbcTemplate(std::string odbcTemplate) { m_odbcTemplate = std::move(odbcTemplate); }

    // The whole run, from the input check to closing the window. Errors that the run does
    // not handle itself (a failed version probe) escape.
    RunOutcome Bt_OkClick();

    // Server and database names must not be blank; tells the operator the first problem.
    bool CheckInput();
    // Builds ConnStr, opens both connections and probes gs_ver. A failed open is silent
    // and gives false; a failed probe raises.
    bool OpenDatabase();
    // Checks, before anything is changed, what the run is about to do: the installation
    // folder when it `copies`, every entry of the update list when it `appliesScripts`.
    // When something cannot succeed it takes the walk's failure path and gives false.
    bool CheckUpdatePackage(bool copies, bool appliesScripts);
    // Copies the contents of UpdatePro into the installation folder; failures are logged.
    void CopyProgramFiles();
    // Applies the update list inside one transaction and reports the outcome; true when
    // the walk completed, false when it took the failure path. The list is checked first
    // unless CheckUpdatePackage has just done it.
    bool ApplyUpdateList();
    // Runs one checked entry: line mode for "IsAccess", server-side mode for "IsSqlserver".
    void RunUpdateEntry(const UpdateEntryPlan& entry);
    // Appends a record to ReException.Log in the program folder and notes it among the
    // records of this run.
    void WriteExceptionLog(std::string_view text);
    // The same for a record that tells of no error (LogRecordKind::Notice).
    void writeNotice(std::string_view text);
    // The records written since the run started (Bt_OkClick).
    const RunRecords& records() const { return m_records; }

    // One item of the update list as the check before the walk finds it: the entry as the
    // walk will run it, and why the run refuses the package (empty when it does not); a
    // refused entry holds what the check had learned of it (the path once the kind and
    // the name passed, the survey once the file was read). An empty item (two commas in
    // a row) names nothing and is not looked at.
    struct ItemCheck {
        std::string item;
        UpdateEntryPlan entry;
        std::string reason;
    };
    // That check on its own, for a check of the package that opens no database: every
    // item of UpdateFiles, going on past a refused one. `database` is the name the
    // connections would be opened with. Nothing is shown or written; when no item is
    // refused the entries are kept for the copy, as CheckUpdatePackage keeps them.
    std::vector<ItemCheck> checkUpdateList(const std::string& database);
    // The copy CopyProgramFiles would make, decided by its own rules without writing
    // anything; `packagePrograms` are the files of the package's program that the copy
    // must leave alone.
    void planProgramCopy(CopyPlan& plan, const std::vector<std::filesystem::path>& packagePrograms);

    const std::string& UpdateFiles() const { return m_updateFiles; }
    void setUpdateFiles(std::string list) { m_updateFiles = std::move(list); }
    const std::string& ConnStr() const { return m_connStr; }
    odbc::Connection& ADOCONN() { return m_adoconn; }
    odbc::Connection& ADOCONN1() { return m_adoconn1; }

private:
    // Every entry of the list as it will run; false with the reason at the first entry
    // that cannot.
    bool planUpdateList(std::vector<UpdateEntryPlan>& plan, std::string& reason);
    // One non-empty item of it; `package` is the package folder with its links resolved.
    bool planUpdateItem(const std::string& item, const std::filesystem::path& package,
                        std::error_code packageError, UpdateEntryPlan& step, std::string& reason);
    // CopyProgramFiles, or with `plan` what it would do.
    void copyProgramFiles(CopyPlan* plan, const std::vector<std::filesystem::path>& programs);
    // The failure path: the reason logged, `message` shown ("升级处理失败！"), roll-back
    // of what is open, the window closed. A log that cannot be written is told in the
    // message's account, not raised.
    void takeFailurePath(const std::string& reason, const std::string& message = text::kFailed);
    // CopyProgramFiles; a log that cannot be written takes the failure path (false).
    bool copyProgramFilesOrFail();
    void runLineMode(const UpdateEntryPlan& entry);
    void runServerSide(const std::filesystem::path& path);
    // Raises RunInterrupted, saying `where` the run stopped (checked by the caller, so
    // that an ordinary statement costs no text).
    [[noreturn]] static void throwInterrupted(const std::string& where);
    // Outside the walk: the failure path for a run asked to stop, nothing being open.
    RunOutcome answerInterruption(const std::string& where);
    // Right before a commit: the transaction the walk began must still be open and sound.
    // Raises when the database has ended it, naming the scripts run inside it.
    void proveTransactionBeforeCommit();

    Person& m_person;
    std::filesystem::path m_programFolder;
    RunSettings m_settings;
    std::string m_odbcTemplate;
    std::string m_updateFiles;
    std::string m_connStr;
    std::string m_openedDatabase; // the database name both connections were opened with
    RunRecords m_records;
    PathResolver m_paths;        // package names; each folder listed once per run
    odbc::Connection m_adoconn;  // carries the run's transaction
    odbc::Connection m_adoconn1; // server-side script calls, outside the transaction
    TransactionProof m_transactionProof;
    std::vector<std::filesystem::path> m_transactionScripts; // line-mode scripts run in it
    bool m_interrupted = false; // the last walk stopped because the run was asked to
    std::optional<std::vector<UpdateEntryPlan>> m_plan; // checked list, until the walk
};

// Why the run refuses to copy into `installFolder` as typed, or empty when it does not.
std::string installFolderRefusal(const std::string& installFolder);

// The osql command line handed to master.dbo.xp_cmdshell. Raises std::invalid_argument
// when the database name or the path is not text, or holds a character the server's
// shell would act on where it stands (the path inside double quotes, the name outside),
// or the database name could be taken for more than a name by osql (a blank, ';', ',' or
// a leading '-' or '/').
std::string buildOsqlCommand(std::string_view database, std::string_view path);

} // namespace pupdate
