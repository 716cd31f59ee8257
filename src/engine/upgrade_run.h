#pragma once
// One upgrade run, read top-down in upgrade_run.cpp: input check, connection, update
// list, confirmation, check of the whole package, program-file copy and script walk. The
// front end fills the settings and supplies the person; the run owns its parts: the log
// of its records, the connections, the check, the copy, the walk and the runners.

#include "connections.h"
#include "messages.h"
#include "package_check.h"
#include "path_resolve.h"
#include "person.h"
#include "run_log.h"
#include "run_report.h"
#include "run_settings.h"
#include "script_runners.h"
#include "script_walk.h"

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pupdate {

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

// The keys of what a run must have to itself (RunLock): the database as the connection
// names it, and the installation folder with its links resolved.
std::vector<std::string> runLockKeys(const RunSettings& settings, std::string_view odbcTemplate);

class UpgradeRun {
public:
    UpgradeRun(Person& person, std::filesystem::path programFolder);

    RunSettings& settings() { return m_settings; }
    const RunSettings& settings() const { return m_settings; }
    const std::filesystem::path& programFolder() const { return m_programFolder; }
    // The ODBC template; defaults to P_UPDATE_ODBC or the platform's own.
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
    void WriteExceptionLog(std::string_view text) { m_log.write(text); }
    // The records written since the run started (Bt_OkClick).
    const RunRecords& records() const { return m_log.records(); }

    // The update list as read from Update.ini.
    const std::string& UpdateFiles() const { return m_updateFiles; }
    void setUpdateFiles(std::string list) { m_updateFiles = std::move(list); }
    const std::string& ConnStr() const { return m_connections.ConnStr(); }
    odbc::Connection& ADOCONN() { return m_connections.ADOCONN(); }
    odbc::Connection& ADOCONN1() { return m_connections.ADOCONN1(); }

private:
    // Reads the update list from Update.ini into UpdateFiles; `listNotFound` when the file
    // holds text but no list. A package that cannot be read takes the failure path: false.
    bool readUpdateFiles(bool& listNotFound);
    // After the connection: the operator's confirmation, then the check of the whole
    // package, the copy and the walk, each only when the one before let the run go on.
    RunOutcome confirmAndUpgrade(bool listNotFound);
    // The failure path: the reason logged, `message` shown ("升级处理失败！"), roll-back
    // of what is open, the window closed. A log that cannot be written is told in the
    // message's account, not raised.
    void takeFailurePath(const std::string& reason, const std::string& message = text::kFailed);
    // The dialect of the server ADOCONN speaks to, once it is open.
    SqlDialect serverDialect();
    // CopyProgramFiles; a log that cannot be written takes the failure path (false).
    bool copyProgramFilesOrFail();
    // Outside the walk: the failure path for a run asked to stop, nothing being open.
    RunOutcome answerInterruption(const std::string& where);

    Person& m_person;
    std::filesystem::path m_programFolder;
    RunSettings m_settings;
    std::string m_odbcTemplate;
    std::string m_updateFiles;
    PathResolver m_paths; // package names; each folder listed once per run
    RunLog m_log;
    Connections m_connections;
    PackageCheck m_check;
    ScriptWalk m_walk;
    ScriptRunners m_runners;
    bool m_interrupted = false; // the last walk stopped because the run was asked to
};

} // namespace pupdate
