#include "upgrade_run.h"

#include "exception_log.h"
#include "file_tree.h"
#include "interruption.h"
#include "paths.h"
#include "program_copy.h"
#include "run_lock.h"
#include "settings_file.h"
#include "text.h"
#include "update_package.h"
#include "utf8_path.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace pupdate {

namespace {

// The reason an error gives, for the person: the file system's own failures in our words,
// the system's message and the paths after them.
std::string failureReason(const std::exception& error) {
    if (const auto* failure = dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
        std::string reason = "文件操作失败: " + failure->code().message();
        for (const std::filesystem::path* path : {&failure->path1(), &failure->path2()}) {
            if (!path->empty()) {
                reason += " [" + pathToUtf8(*path) + "]";
            }
        }
        return reason;
    }
    return error.what();
}

} // namespace

UpgradeRun::UpgradeRun(Person& person, std::filesystem::path programFolder)
    : m_person(person), m_programFolder(std::move(programFolder)), m_odbcTemplate(odbcTemplate()),
      m_log(m_programFolder), m_check(m_programFolder, m_paths),
      m_walk(m_connections.ADOCONN(), person),
      m_runners(m_connections.ADOCONN(), m_connections.ADOCONN1(), m_walk, person, m_log) {}

std::vector<std::string> runLockKeys(const RunSettings& settings, std::string_view odbcTemplate) {
    // The connection string the run opens, which names the server ("(local)" and "."
    // alike) and the database; letter case does not tell databases apart.
    std::vector<std::string> keys{
        "database\n" + foldAsciiCase(toOdbcConnectionString(
                           buildConnStr(settings.server, settings.database), odbcTemplate))};
    if (!settings.installFolder.empty()) {
        std::error_code error;
        const std::filesystem::path folder = pathFromUtf8(settings.installFolder);
        const std::filesystem::path real = filetree::realPath(folder, error);
        keys.push_back("folder\n" + pathToUtf8(error ? filetree::normalPath(folder) : real));
    }
    return keys;
}

RunOutcome UpgradeRun::Bt_OkClick() {
    m_log.records().clear();
    m_paths.forget(); // what an earlier run from this window listed may have changed
    if (!CheckInput()) {
        return RunOutcome::InputRejected;
    }
    // One run per database and installation folder at a time, held from here to the end
    // of the run.
    const RunLock lock(runLockKeys(m_settings, m_odbcTemplate));
    if (lock.state() == RunLock::State::Busy) {
        m_person.inform(text::kAlreadyRunning);
        return RunOutcome::AlreadyRunning;
    }
    if (lock.state() == RunLock::State::Unavailable) {
        // A system that cannot lock is no reason to refuse the run; it goes on unguarded
        // and the outcome says so.
        m_log.records().addNote(text::kNoRunLock + lock.error());
    }
    if (!OpenDatabase()) {
        return RunOutcome::ConnectionFailed;
    }
    bool listNotFound = false;
    if (!readUpdateFiles(listNotFound)) {
        return RunOutcome::PackageRejected;
    }
    const RunOutcome outcome = confirmAndUpgrade(listNotFound);
    m_person.closeWindow();
    if (interruptionRequested()) {
        // Rolled back and logged: where the system ends the process soon after a request,
        // it need not wait any longer.
        interruptionAnswered();
    }
    return outcome;
}

bool UpgradeRun::readUpdateFiles(bool& listNotFound) {
    try {
        UpdateListSetting setting = readUpdateList(m_programFolder);
        m_updateFiles = std::move(setting.list);
        std::filesystem::path scripts;
        if (!setting.notFound.empty() &&
            m_paths.findFolder(m_programFolder, kScriptFolder, scripts) &&
            !filesBelow(scripts, 1).empty()) {
            // The run goes on (the program files may still be copied), but a package whose
            // scripts never ran must not end looking like a complete upgrade. A package
            // without scripts only copies: a settings file without a list is no mistake.
            WriteExceptionLog(setting.notFound);
            m_log.records().addNote(text::kListNotFoundNote);
            listNotFound = true;
        }
        return true;
    } catch (const PackageError& error) {
        // Nothing has been asked or changed yet: tell why and end the run.
        takeFailurePath(error.what());
        return false;
    }
}

RunOutcome UpgradeRun::confirmAndUpgrade(bool listNotFound) {
    // Asked to stop before or while the question was open: the answer does not count.
    if (interruptionRequested() || !m_person.confirm(text::kConfirmClosed)) {
        return interruptionRequested() ? answerInterruption("没有复制文件，也没有执行脚本")
                                       : RunOutcome::Declined;
    }
    // Each folder is looked up afresh: the package folder is the operator's, not ours.
    std::filesystem::path folder;
    const bool copies = m_paths.findFolder(m_programFolder, kProgramFilesFolder, folder);
    const bool hasScripts = m_paths.findFolder(m_programFolder, kScriptFolder, folder);
    if (!copies && !hasScripts) {
        m_person.inform(text::kNoPackage);
        return RunOutcome::NoPackage;
    }
    const bool appliesScripts = hasScripts && !trimBlanks(m_updateFiles).empty();
    // Nothing is copied or begun for a package that cannot succeed.
    if (!CheckUpdatePackage(copies, appliesScripts)) {
        return RunOutcome::WalkFailed;
    }
    if (interruptionRequested()) {
        return answerInterruption("没有复制文件，也没有执行脚本");
    }
    if (copies && !copyProgramFilesOrFail()) {
        return RunOutcome::WalkFailed;
    }
    if (interruptionRequested()) {
        // The copy stops early when asked to: some files may not have been copied.
        return answerInterruption(copies ? "程序文件可能没有全部复制，没有执行脚本"
                                         : "没有执行脚本");
    }
    if (appliesScripts && !ApplyUpdateList()) {
        return m_interrupted ? RunOutcome::Interrupted : RunOutcome::WalkFailed;
    }
    if (listNotFound) {
        m_person.inform(text::kScriptsNotRun, records().details());
    } else if (!appliesScripts && records().errors() > 0) {
        // A package that only copies has no outcome message of its own; what could not
        // be copied is told all the same.
        m_person.inform(text::copyFailures(records().errors()), records().details());
    }
    return RunOutcome::Completed;
}

RunOutcome UpgradeRun::answerInterruption(const std::string& where) {
    takeFailurePath(std::string(text::kInterrupted) + "，" + where);
    return RunOutcome::Interrupted;
}

bool UpgradeRun::CheckInput() {
    if (trimBlanks(m_settings.server).empty()) {
        m_person.inform(text::kServerBlank);
        return false;
    }
    if (trimBlanks(m_settings.database).empty()) {
        m_person.inform(text::kDatabaseBlank);
        return false;
    }
    return true;
}

bool UpgradeRun::OpenDatabase() {
    try {
        m_connections.open(m_settings.server, m_settings.database, m_odbcTemplate);
    } catch (const std::exception& error) {
        // An unreachable server, a missing database or a refused login: the run stops
        // without a message box and without a log entry; the status says why.
        m_person.setStatus(connectionFailureStatus(error), error.what());
        return false;
    }
    m_connections.probeVersion();
    return true;
}

bool UpgradeRun::CheckUpdatePackage(bool copies, bool appliesScripts) {
    std::string reason;
    if (copies) {
        reason = PackageCheck::checkInstallFolder(m_settings.installFolder);
    }
    if (reason.empty() && appliesScripts) {
        reason =
            m_check.checkUpdateList(m_updateFiles, m_connections.openedDatabase(), serverDialect());
    }
    if (reason.empty()) {
        return true;
    }
    takeFailurePath(reason);
    return false;
}

SqlDialect UpgradeRun::serverDialect() {
    // Scripts are read in the language of the server the run speaks to; before it has
    // connected, in SQL Server's, which the users run.
    odbc::Connection& connection = m_connections.ADOCONN();
    return connection.isOpen() ? dialectOfServer(connection.dbmsName()) : SqlDialect::SqlServer;
}

void UpgradeRun::CopyProgramFiles() {
    std::filesystem::path source;
    if (!m_paths.findFolder(m_programFolder, kProgramFilesFolder, source)) {
        return;
    }
    // What the run checked and is about to run stays as it is: the script folder, the
    // settings file, the log, this program and the scripts of the checked list.
    ProgramCopy copy(m_log, m_person);
    keepRunningPackage(copy, m_paths, m_programFolder, {programFile()}, m_check.plan());
    copy.copy(source, m_settings.installFolder);
    // The copy may have changed any folder, the package's among them.
    m_paths.forget();
}

bool UpgradeRun::copyProgramFilesOrFail() {
    try {
        CopyProgramFiles();
        return true;
    } catch (const LogWriteError& error) {
        // Copy errors that cannot be recorded: the scripts are not run after a copy
        // nobody can account for.
        takeFailurePath(error.what());
        return false;
    }
}

bool UpgradeRun::ApplyUpdateList() {
    m_interrupted = false;
    if (!m_check.hasPlan()) {
        const std::string reason =
            m_check.checkUpdateList(m_updateFiles, m_connections.openedDatabase(), serverDialect());
        if (!reason.empty()) {
            takeFailurePath(reason);
            return false;
        }
    }
    const CheckedList plan = m_check.takePlan();

    std::unique_ptr<Progress> commitProgress;
    try {
        m_walk.begin();
        for (std::size_t index = 0; index < plan.size(); ++index) {
            const UpdateEntryPlan entry = plan.at(index);
            m_walk.enter(entry);
            RunUpdateEntry(entry);
        }
        commitProgress = m_walk.commitLast();
        m_person.setStatus(text::kStatusDone);
        m_person.inform(text::kFinished, records().details());
        m_person.closeWindow();
        return true;
    } catch (const std::exception& error) {
        m_interrupted = dynamic_cast<const RunInterrupted*>(&error) != nullptr;
        // The commit window is not left on screen behind the failure message.
        commitProgress.reset();
        takeFailurePath(failureReason(error));
        return false;
    }
}

void UpgradeRun::RunUpdateEntry(const UpdateEntryPlan& entry) {
    if (entry.kind == kLineMode) {
        m_runners.runLineMode(entry);
    } else if (entry.kind == kServerSideMode) {
        m_runners.runServerSide(entry.path, m_connections.openedDatabase());
    } else {
        throw std::invalid_argument(
            "未知的脚本类型 \"" + entry.kind +
            "\"（应为 IsAccess 或 IsSqlserver）: " + pathToUtf8(entry.path));
    }
}

void UpgradeRun::takeFailurePath(const std::string& reason, const std::string& message) {
    // The record is written first, so that it is there whatever the operator sees. A log
    // that cannot be written must not keep the failure path from finishing: the account
    // with the message says so, and the failure is told this once.
    auto record = [&](const std::string& text) {
        const auto failing = m_log.step(LogRecordKind::Failure);
        try {
            m_log.write(text);
        } catch (const LogWriteError&) {
        }
    };
    record(reason);
    m_person.inform(message, records().details());
    // A refused roll-back must not hide the failure.
    try {
        m_walk.rollback();
    } catch (const std::exception& rollbackError) {
        record("回滚失败: " + failureReason(rollbackError));
    }
    m_person.closeWindow();
}

int unattendedExitStatus(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Completed:
        return 0;
    case RunOutcome::Declined:
        return 2;
    case RunOutcome::AlreadyRunning:
    case RunOutcome::InputRejected:
    case RunOutcome::ConnectionFailed:
    case RunOutcome::NoPackage:
    case RunOutcome::PackageRejected:
    case RunOutcome::WalkFailed:
    case RunOutcome::Interrupted:
        return 1;
    }
    return 1;
}

std::string errorKindName(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

} // namespace pupdate
