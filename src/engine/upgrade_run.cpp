#include "upgrade_run.h"

#include "ascii_case.h"
#include "connections.h"
#include "exception_log.h"
#include "file_tree.h"
#include "interruption.h"
#include "path_resolve.h"
#include "run_lock.h"
#include "update_package.h"
#include "utf8_path.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace pupdate {

UpgradeRun::UpgradeRun(Person& person, std::filesystem::path programFolder)
    : m_person(person), m_programFolder(std::move(programFolder)), m_odbcTemplate(odbcTemplate()) {}

std::string text::copyFailures(std::size_t errors) {
    return "程序文件复制完毕，但有 " + std::to_string(errors) + " 处出错！";
}

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
        keys.push_back("folder\n" + pathToUtf8(error ? folder.lexically_normal() : real));
    }
    return keys;
}

RunOutcome UpgradeRun::Bt_OkClick() {
    m_records.clear();
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
        m_records.addNote(text::kNoRunLock + lock.error());
    }
    if (!OpenDatabase()) {
        return RunOutcome::ConnectionFailed;
    }
    bool listNotFound = false;
    try {
        UpdateListSetting setting = readUpdateList(m_programFolder);
        m_updateFiles = std::move(setting.list);
        if (!setting.notFound.empty()) {
            // The run goes on (the program files may still be copied), but a package whose
            // scripts never ran must not end looking like a complete upgrade.
            WriteExceptionLog(setting.notFound);
            m_records.addNote(text::kListNotFoundNote);
            listNotFound = true;
        }
    } catch (const PackageError& error) {
        // Nothing has been asked or changed yet: tell why and end the run.
        takeFailurePath(error.what());
        return RunOutcome::PackageRejected;
    }

    RunOutcome outcome = RunOutcome::Completed;
    std::filesystem::path folder;
    const auto confirmed = [this] {
        // Asked to stop before or while the question was open: the answer does not count.
        return !interruptionRequested() && m_person.confirm(text::kConfirmClosed);
    };
    if (!confirmed()) {
        outcome = interruptionRequested() ? answerInterruption("没有复制文件，也没有执行脚本")
                                          : RunOutcome::Declined;
    } else if (!m_paths.findFolder(m_programFolder, kProgramFilesFolder, folder) &&
               !m_paths.findFolder(m_programFolder, kScriptFolder, folder)) {
        m_person.inform(text::kNoPackage);
        outcome = RunOutcome::NoPackage;
    } else {
        // Each folder is looked up afresh: the package folder is the operator's, not ours.
        const bool copies = m_paths.findFolder(m_programFolder, kProgramFilesFolder, folder);
        const bool appliesScripts = m_paths.findFolder(m_programFolder, kScriptFolder, folder) &&
                                    !trimBlanks(m_updateFiles).empty();
        // Nothing is copied or begun for a package that cannot succeed.
        if (!CheckUpdatePackage(copies, appliesScripts)) {
            outcome = RunOutcome::WalkFailed;
        } else if (interruptionRequested()) {
            outcome = answerInterruption("没有复制文件，也没有执行脚本");
        } else {
            bool copied = true;
            if (copies) {
                copied = copyProgramFilesOrFail();
            }
            if (!copied) {
                outcome = RunOutcome::WalkFailed;
            } else if (interruptionRequested()) {
                // The copy stops early when asked to: some files may not have been copied.
                outcome = answerInterruption(copies ? "程序文件可能没有全部复制，没有执行脚本"
                                                    : "没有执行脚本");
            } else if (appliesScripts && !ApplyUpdateList()) {
                outcome = m_interrupted ? RunOutcome::Interrupted : RunOutcome::WalkFailed;
            } else if (listNotFound) {
                m_person.inform(text::kScriptsNotRun, m_records.details());
            } else if (!appliesScripts && m_records.errors() > 0) {
                // A package that only copies has no outcome message of its own; what could
                // not be copied is told all the same.
                m_person.inform(text::copyFailures(m_records.errors()), m_records.details());
            }
        }
    }
    m_person.closeWindow();
    if (interruptionRequested()) {
        // Rolled back and logged: where the system ends the process soon after a request,
        // it need not wait any longer.
        interruptionAnswered();
    }
    return outcome;
}

RunOutcome UpgradeRun::answerInterruption(const std::string& where) {
    takeFailurePath(std::string(text::kInterrupted) + "，" + where);
    return RunOutcome::Interrupted;
}

void UpgradeRun::throwInterrupted(const std::string& where) {
    throw RunInterrupted(std::string(text::kInterrupted) + "（" + where + "）");
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

void UpgradeRun::WriteExceptionLog(std::string_view text) {
    // Noted first: what the run meant to record is offered to the operator even when the
    // log itself cannot be written.
    m_records.add(text);
    try {
        pupdate::WriteExceptionLog(m_programFolder, text);
    } catch (const LogWriteError&) {
        m_records.noteLogUnwritable();
        throw;
    }
}

void UpgradeRun::writeNotice(std::string_view text) {
    const RunRecords::Step noting(m_records, LogRecordKind::Notice);
    WriteExceptionLog(text);
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
