#include "package_check.h"

#include "file_tree.h"
#include "osql_command.h"
#include "update_list.h"
#include "update_package.h"
#include "utf8_path.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <system_error>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

// A folder written with a drive letter ("C:\zeltinfo3.0", "D:/x"), where this platform's
// paths have none: it would be created as a folder of that literal name.
bool namesAForeignDrive(const std::string& folder) {
    const bool driveLetter = folder.size() >= 2 &&
                             std::isalpha(static_cast<unsigned char>(folder[0])) != 0 &&
                             folder[1] == ':';
    return driveLetter && !pathFromUtf8(folder).has_root_name();
}

} // namespace

std::string PackageCheck::checkInstallFolder(const std::string& installFolder) {
    if (namesAForeignDrive(installFolder)) {
        return "目标位置不是本系统的文件夹: " + installFolder;
    }
    return std::string();
}

void PackageCheck::forgetLookups() {
    m_surveys.clear();
    m_places.clear();
}

UpdateEntryPlan CheckedList::at(std::size_t index) const {
    const Step step = m_steps[index];
    return UpdateEntryPlan{std::string(step.lineMode ? kLineMode : kServerSideMode),
                           m_paths[step.file],
                           step.lineMode ? m_surveys[step.file] : ScriptSurvey()};
}

void CheckedList::add(UpdateEntryPlan entry) {
    const bool lineMode = entry.kind == kLineMode;
    const auto [known, added] =
        m_files.try_emplace(entry.path.native(), static_cast<std::uint32_t>(m_paths.size()));
    if (added) {
        m_paths.push_back(std::move(entry.path));
        m_surveys.emplace_back();
    }
    if (lineMode) {
        m_surveys[known->second] = std::move(entry.survey);
    }
    m_steps.push_back({known->second, lineMode});
}

std::string PackageCheck::checkUpdateList(std::string_view list, std::string_view database,
                                          SqlDialect dialect) {
    CheckedList plan;
    std::string reason;
    if (planUpdateList(list, database, dialect, plan, reason)) {
        m_plan = std::move(plan);
    }
    return reason;
}

const CheckedList& PackageCheck::plan() const {
    static const CheckedList none;
    return m_plan ? *m_plan : none;
}

CheckedList PackageCheck::takePlan() {
    CheckedList plan = std::move(m_plan).value_or(CheckedList());
    m_plan.reset();
    return plan;
}

bool PackageCheck::planUpdateList(std::string_view list, std::string_view database,
                                  SqlDialect dialect, CheckedList& plan, std::string& reason) {
    plan = CheckedList();
    forgetLookups();
    // Links may lead anywhere inside the package, never out of it: what a script's name
    // really reaches is held against the package folder as the system resolves it.
    std::error_code packageError;
    const fs::path package = filetree::realPath(m_programFolder, packageError);
    for (const std::string& item : splitUpdateList(list)) {
        // An empty item (two commas in a row, a trailing comma) names nothing to run.
        if (item.empty()) {
            continue;
        }
        UpdateEntryPlan step;
        if (!planUpdateItem(item, database, dialect, package, packageError, step, reason)) {
            return false;
        }
        plan.add(std::move(step));
    }
    forgetLookups();
    return true;
}

void PackageCheck::checkEachEntry(std::string_view list, std::string_view database,
                                  SqlDialect dialect,
                                  const std::function<void(ItemCheck&&)>& look) {
    std::error_code packageError;
    const fs::path package = filetree::realPath(m_programFolder, packageError);
    forgetLookups();
    // Kept as the plan while no item is refused.
    std::optional<CheckedList> plan(std::in_place);
    for (std::string& item : splitUpdateList(list)) {
        ItemCheck check{std::move(item), {}, {}};
        if (!check.item.empty()) {
            planUpdateItem(check.item, database, dialect, package, packageError, check.entry,
                           check.reason);
            if (!check.reason.empty()) {
                plan.reset();
            } else if (plan) {
                plan->add(check.entry);
            }
        }
        look(std::move(check));
    }
    forgetLookups();
    m_plan = std::move(plan);
}

bool PackageCheck::planUpdateItem(const std::string& item, std::string_view database,
                                  SqlDialect dialect, const fs::path& package,
                                  std::error_code packageError, UpdateEntryPlan& step,
                                  std::string& reason) {
    const UpdateEntry entry = splitEntry(item);
    if (entry.kind != kLineMode && entry.kind != kServerSideMode) {
        // Skipping it would report a script that never ran as applied.
        reason = "未知的脚本类型 \"" + entry.kind + "\"（应为 IsAccess 或 IsSqlserver）: " + item;
        return false;
    }
    // Where a name leads is looked up once, however often the list names it.
    auto place = m_places.find(entry.file);
    if (place == m_places.end()) {
        ScriptPlace found;
        found.path =
            m_paths.resolve(m_programFolder, std::string(kScriptFolder) + "\\" + entry.file);
        found.error = packageError;
        if (!found.error) {
            found.real = filetree::realPath(found.path, found.error);
        }
        place = m_places.emplace(entry.file, std::move(found)).first;
    }
    step = UpdateEntryPlan{entry.kind, place->second.path, {}};
    const std::string shown = pathToUtf8(step.path);
    const std::error_code realError = place->second.error;
    const fs::path& real = place->second.real;
    if (realError) {
        reason = "无法确定脚本文件的位置 " + shown + ": " + realError.message();
        return false;
    }
    if (!filetree::isWithin(real, package)) {
        reason = "脚本文件在升级包文件夹以外: " + entry.file + " -> " + filetree::shownPath(real);
        return false;
    }
    if (entry.kind == kServerSideMode) {
        // The server reads the file itself, so it need not exist here; but the command
        // must be one that can be handed to the server.
        try {
            buildOsqlCommand(database, shown);
        } catch (const std::invalid_argument& error) {
            reason = error.what();
            return false;
        }
        return true;
    }
    if (const auto known = m_surveys.find(step.path.native()); known != m_surveys.end()) {
        step.survey = known->second; // listed before: read once
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
            step.survey = surveyScript(step.path, dialect);
        } catch (const std::system_error& readError) {
            reason = "无法读取脚本文件 " + shown + ": " + readError.code().message();
            return false;
        }
        m_surveys.emplace(step.path.native(), step.survey);
    }
    // The run's transaction is the program's: a script that ends or begins one itself
    // would leave part of the run committed whatever the outcome.
    if (const auto& control = step.survey.transactionStatement) {
        reason = "脚本文件 " + shown + " 第 " + std::to_string(control->line) +
                 " 行是事务控制语句，升级的事务只能由升级程序开始和结束: " + control->text;
        return false;
    }
    return true;
}

} // namespace pupdate
