// The walk over the update list: every entry checked before anything is changed, then one
// transaction, every entry in list order, one commit.

#include "exception_log.h"
#include "file_tree.h"
#include "interruption.h"
#include "path_resolve.h"
#include "update_package.h"
#include "upgrade_run.h"
#include "utf8_path.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

// False when a `..` in the entry's file name climbs out of the package folder; the name
// starts in the script folder, one level below it, and may name a folder of the package
// beside it. Separators at the start keep the name inside, as everywhere else in the name.
bool staysInside(std::string_view file) {
    int depth = 1;
    for (const std::string_view part : splitPackagePath(file)) {
        depth += part == ".." ? -1 : 1;
        if (depth < 0) {
            return false;
        }
    }
    return true;
}

// A folder written with a drive letter ("C:\zeltinfo3.0", "D:/x"), where this platform's
// paths have none: it would be created as a folder of that literal name.
bool namesAForeignDrive(const std::string& folder) {
    const bool driveLetter = folder.size() >= 2 &&
                             std::isalpha(static_cast<unsigned char>(folder[0])) != 0 &&
                             folder[1] == ':';
    return driveLetter && !pathFromUtf8(folder).has_root_name();
}

} // namespace

std::string installFolderRefusal(const std::string& installFolder) {
    return namesAForeignDrive(installFolder) ? "目标位置不是本系统的文件夹: " + installFolder
                                             : std::string();
}

bool UpgradeRun::planUpdateList(std::vector<UpdateEntryPlan>& plan, std::string& reason) {
    plan.clear();
    // Links may lead anywhere inside the package, never out of it: what a script's name
    // really reaches is held against the package folder as the system resolves it.
    std::error_code packageError;
    const fs::path package = filetree::realPath(m_programFolder, packageError);
    for (const std::string& item : splitUpdateList(m_updateFiles)) {
        // An empty item (two commas in a row, a trailing comma) names nothing to run.
        if (item.empty()) {
            continue;
        }
        UpdateEntryPlan step;
        if (!planUpdateItem(item, package, packageError, step, reason)) {
            return false;
        }
        plan.push_back(std::move(step));
    }
    return true;
}

std::vector<UpgradeRun::ItemCheck> UpgradeRun::checkUpdateList(const std::string& database) {
    const std::string opened = std::exchange(m_openedDatabase, database);
    std::error_code packageError;
    const fs::path package = filetree::realPath(m_programFolder, packageError);
    std::vector<ItemCheck> checks;
    for (std::string& item : splitUpdateList(m_updateFiles)) {
        ItemCheck check{std::move(item), {}, {}};
        if (!check.item.empty()) {
            planUpdateItem(check.item, package, packageError, check.entry, check.reason);
        }
        checks.push_back(std::move(check));
    }
    m_openedDatabase = opened;
    m_plan.reset();
    if (std::none_of(checks.begin(), checks.end(),
                     [](const ItemCheck& check) { return !check.reason.empty(); })) {
        m_plan.emplace();
        for (const ItemCheck& check : checks) {
            if (!check.item.empty()) {
                m_plan->push_back(check.entry);
            }
        }
    }
    return checks;
}

bool UpgradeRun::planUpdateItem(const std::string& item, const fs::path& package,
                                std::error_code packageError, UpdateEntryPlan& step,
                                std::string& reason) {
    const UpdateEntry entry = splitEntry(item);
    if (entry.kind != kLineMode && entry.kind != kServerSideMode) {
        // Skipping it would report a script that never ran as applied.
        reason = "未知的脚本类型 \"" + entry.kind + "\"（应为 IsAccess 或 IsSqlserver）: " + item;
        return false;
    }
    if (!staysInside(entry.file)) {
        reason = "脚本路径超出了升级包文件夹: " + entry.file;
        return false;
    }
    step = UpdateEntryPlan{
        entry.kind,
        m_paths.resolve(m_programFolder, std::string(kScriptFolder) + "\\" + entry.file),
        {}};
    const std::string shown = pathToUtf8(step.path);
    std::error_code realError = packageError;
    const fs::path real = realError ? fs::path() : filetree::realPath(step.path, realError);
    if (realError) {
        reason = "无法确定脚本文件的位置 " + shown + ": " + realError.message();
        return false;
    }
    if (!filetree::isWithin(real, package)) {
        reason = "脚本文件在升级包文件夹以外: " + entry.file + " -> " + pathToUtf8(real);
        return false;
    }
    if (entry.kind == kServerSideMode) {
        // The server reads the file itself, so it need not exist here; but the command
        // must be one that can be handed to the server.
        try {
            buildOsqlCommand(m_openedDatabase, shown);
        } catch (const std::invalid_argument& error) {
            reason = error.what();
            return false;
        }
    } else {
        std::error_code error;
        const fs::file_status status = fs::status(step.path, error);
        if (status.type() == fs::file_type::not_found) {
            reason = "找不到脚本文件: " + shown;
            return false;
        }
        if (status.type() != fs::file_type::regular) {
            reason = "脚本文件不是普通文件: " + shown;
            return false;
        }
        // Read now, once: the line count and the encoding serve the walk.
        try {
            step.survey = surveyScript(step.path);
        } catch (const std::system_error& readError) {
            reason = "无法读取脚本文件 " + shown + ": " + readError.code().message();
            return false;
        }
        // The run's transaction is the program's: a script that ends or begins one
        // itself would leave part of the run committed whatever the outcome.
        if (const auto& control = step.survey.transactionStatement) {
            reason = "脚本文件 " + shown + " 第 " + std::to_string(control->line) +
                     " 行是事务控制语句，升级的事务只能由升级程序开始和结束: " + control->text;
            return false;
        }
    }
    return true;
}

bool UpgradeRun::CheckUpdatePackage(bool copies, bool appliesScripts) {
    std::string reason;
    if (copies) {
        reason = installFolderRefusal(m_settings.installFolder);
    }
    if (reason.empty() && appliesScripts) {
        std::vector<UpdateEntryPlan> plan;
        if (planUpdateList(plan, reason)) {
            m_plan = std::move(plan);
        }
    }
    if (reason.empty()) {
        return true;
    }
    takeFailurePath(reason);
    return false;
}

bool UpgradeRun::ApplyUpdateList() {
    m_interrupted = false;
    std::vector<UpdateEntryPlan> plan;
    if (m_plan) {
        plan = std::move(*m_plan);
        m_plan.reset();
    } else if (std::string reason; !planUpdateList(plan, reason)) {
        takeFailurePath(reason);
        return false;
    }

    std::unique_ptr<Progress> commitProgress;
    try {
        if (m_adoconn.inTransaction()) {
            m_adoconn.rollbackTrans();
        }
        m_adoconn.beginTrans();
        m_transactionProof.begin(m_adoconn);
        m_transactionScripts.clear();

        for (const UpdateEntryPlan& entry : plan) {
            if (interruptionRequested()) {
                throwInterrupted("在执行脚本 " + pathToUtf8(entry.path) + " 之前");
            }
            if (entry.kind == kLineMode && m_adoconn.inTransaction()) {
                m_transactionScripts.push_back(entry.path);
            }
            RunUpdateEntry(entry);
        }

        if (m_adoconn.inTransaction()) {
            commitProgress = m_person.openProgress();
            commitProgress->setText(text::kCommitting);
            commitProgress->setBarVisible(false);
            commitProgress->repaint();
            if (interruptionRequested()) {
                throwInterrupted("在提交之前");
            }
            proveTransactionBeforeCommit();
            m_adoconn.commitTrans();
            commitProgress->setText(text::kCommitted);
            commitProgress->repaint();
        }
        m_person.setStatus(text::kStatusDone);
        m_person.inform(text::kFinished, m_records.details());
        m_person.closeWindow();
        return true;
    } catch (const std::exception& error) {
        m_interrupted = dynamic_cast<const RunInterrupted*>(&error) != nullptr;
        // The commit window is not left on screen behind the failure message.
        commitProgress.reset();
        takeFailurePath(error.what());
        return false;
    }
}

void UpgradeRun::proveTransactionBeforeCommit() {
    if (m_transactionProof.holds(m_adoconn)) {
        return;
    }
    // Nothing tells when the database ended it: every script run inside it is named.
    std::string scripts;
    for (const fs::path& script : m_transactionScripts) {
        scripts += (scripts.empty() ? "" : "、") + pathToUtf8(script);
    }
    throw std::runtime_error(
        "数据库已结束本次升级的事务" +
        (scripts.empty() ? std::string() : "（在执行脚本 " + scripts + " 期间）") +
        "，此前执行的语句可能已经提交，不能再回滚；升级没有完成。");
}

void UpgradeRun::takeFailurePath(const std::string& reason, const std::string& message) {
    // The record is written first, so that it is there whatever the operator sees. A log
    // that cannot be written must not keep the failure path from finishing: the account
    // with the message says so, and the failure is told this once.
    auto record = [&](const std::string& text) {
        const RunRecords::Step failing(m_records, LogRecordKind::Failure);
        try {
            WriteExceptionLog(text);
        } catch (const LogWriteError&) {
        }
    };
    record(reason);
    m_person.inform(message, m_records.details());
    // Roll back only what is open: after a server-side entry has committed there is
    // nothing left, and a refused roll-back must not hide the failure.
    if (m_adoconn.inTransaction()) {
        try {
            m_adoconn.rollbackTrans();
        } catch (const std::exception& rollbackError) {
            record(std::string("回滚失败: ") + rollbackError.what());
        }
    }
    m_person.closeWindow();
}

} // namespace pupdate
