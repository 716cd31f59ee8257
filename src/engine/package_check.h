#pragma once
// The check of the whole package before anything is copied or begun: a package that
// cannot succeed changes nothing. What the copy is to write into must be a folder of
// this platform; every entry of the update list must be of a known kind and stay inside
// the package folder, a line-mode script must be a readable file without transaction
// control (read once here for its line count and encoding), and a server-side entry must
// make a command that can be handed to the server (osql_command.h).

#include "path_resolve.h"
#include "script_file.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace pupdate {

// One entry of the update list as the check found it.
struct UpdateEntryPlan {
    std::string kind;           // "IsAccess" or "IsSqlserver"
    std::filesystem::path path; // the script file
    ScriptSurvey survey;        // line mode: what the check learned of the file
};

// The checked update list, in the order the walk runs it, held so that a list of millions
// of entries costs a few bytes an entry: each script once, with what the check learned of
// it, and each entry as its script's number and its kind.
class CheckedList {
public:
    std::size_t size() const { return m_steps.size(); }
    // The entry at `index` as the walk runs it.
    UpdateEntryPlan at(std::size_t index) const;
    // Every script the list names, once, in the order first named.
    const std::vector<std::filesystem::path>& files() const { return m_paths; }
    void add(UpdateEntryPlan entry);

private:
    struct Step {
        std::uint32_t file = 0;
        bool lineMode = false;
    };
    std::vector<Step> m_steps;
    std::vector<std::filesystem::path> m_paths;
    std::vector<ScriptSurvey> m_surveys; // by script; empty for a server-side one
    std::unordered_map<std::filesystem::path::string_type, std::uint32_t> m_files;
};

class PackageCheck {
public:
    // Package names are looked up by `paths`, which the run shares.
    PackageCheck(std::filesystem::path programFolder, PathResolver& paths)
        : m_programFolder(std::move(programFolder)), m_paths(paths) {}

    // Why the copy cannot write into `installFolder`; empty when it can.
    static std::string checkInstallFolder(const std::string& installFolder);
    // Why `list` cannot run; empty when every entry can, which are then kept as the plan.
    // Server-side entries are checked for a server reached under the name `database`;
    // line-mode scripts are read as `dialect` reads them.
    std::string checkUpdateList(std::string_view list, std::string_view database,
                                SqlDialect dialect);

    // One item of the list as the check finds it: the entry as the walk will run it, and
    // why the run refuses the package (empty when it does not); a refused entry holds what
    // the check had learned of it (the path once the kind and the name passed, the survey
    // once the file was read). An empty item (two commas in a row) is not looked at.
    struct ItemCheck {
        std::string item;
        UpdateEntryPlan entry;
        std::string reason;
    };
    // The same check for a look at the package that opens no database: every item, going
    // on past a refused one. When no item is refused the entries are kept as the plan.
    // Each item is handed to `look` as it is checked, so that a list of millions of
    // entries is never held twice.
    void checkEachEntry(std::string_view list, std::string_view database, SqlDialect dialect,
                        const std::function<void(ItemCheck&&)>& look);

    // True while a checked list is kept.
    bool hasPlan() const { return m_plan.has_value(); }
    // The checked list, empty when none is kept.
    const CheckedList& plan() const;
    // Hands the checked list to the walk; none is kept afterwards.
    CheckedList takePlan();

private:
    // Every entry of the list as it will run; false with the reason at the first entry
    // that cannot.
    bool planUpdateList(std::string_view list, std::string_view database, SqlDialect dialect,
                        CheckedList& plan, std::string& reason);
    // One non-empty item of it; `package` is the package folder with its links resolved.
    bool planUpdateItem(const std::string& item, std::string_view database, SqlDialect dialect,
                        const std::filesystem::path& package, std::error_code packageError,
                        UpdateEntryPlan& step, std::string& reason);

    std::filesystem::path m_programFolder;
    PathResolver& m_paths;
    std::optional<CheckedList> m_plan;
    // What one check learned of each line-mode script, so that a script listed many
    // times is read once.
    std::unordered_map<std::filesystem::path::string_type, ScriptSurvey> m_surveys;
    // Where each name of the list leads, for the same reason.
    struct ScriptPlace {
        std::filesystem::path path; // as the run resolves it
        std::filesystem::path real; // with every link resolved
        std::error_code error;      // why the real path could not be had
    };
    std::unordered_map<std::string, ScriptPlace> m_places;
    // Drops both, at the start and the end of one check: the files may change between.
    void forgetLookups();
};

} // namespace pupdate
