#include "upgrade_run.h"

#include "connections.h"
#include "exception_log.h"
#include "path_resolve.h"
#include "run_lock.h"
#include "update_package.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace pupdate {

UpgradeRun::UpgradeRun(Person& person, std::filesystem::path programFolder)
    : m_person(person), m_programFolder(std::move(programFolder)), m_odbcTemplate(odbcTemplate()) {}

RunOutcome UpgradeRun::Bt_OkClick() {
    m_records.clear();
    // One run per package at a time, held from here to the end of the run.
    const RunLock lock(m_programFolder);
    if (lock.state() == RunLock::State::Busy) {
        m_person.inform(text::kAlreadyRunning);
        return RunOutcome::AlreadyRunning;
    }
    if (lock.state() == RunLock::State::Unavailable) {
        // A file system that cannot lock (some network shares) is no reason to refuse
        // the run; it goes on unguarded, and says so in the log when it can.
        try {
            WriteExceptionLog(lock.error());
        } catch (const std::exception&) {
        }
    }
    m_paths.forget(); // what an earlier run from this window listed may have changed
    if (!CheckInput()) {
        return RunOutcome::InputRejected;
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
    if (!m_person.confirm(text::kConfirmClosed)) {
        outcome = RunOutcome::Declined;
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
        } else {
            if (copies) {
                CopyProgramFiles();
            }
            if (appliesScripts && !ApplyUpdateList()) {
                outcome = RunOutcome::WalkFailed;
            } else if (listNotFound) {
                m_person.inform(text::kScriptsNotRun, m_records.details());
            }
        }
    }
    m_person.closeWindow();
    return outcome;
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
    pupdate::WriteExceptionLog(m_programFolder, text);
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
