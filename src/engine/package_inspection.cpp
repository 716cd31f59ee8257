// A look at an update package through the run's own code, without a database: the same
// settings file, list, names, survey and check before the walk, each line read as the line
// runner reads it, and the copy decided by the copy's rules.

#include "package_inspection.h"

#include "file_tree.h"
#include "messages.h"
#include "osql_command.h"
#include "package_check.h"
#include "path_resolve.h"
#include "person.h"
#include "program_copy.h"
#include "run_log.h"
#include "script_file.h"
#include "settings_file.h"
#include "text.h"
#include "transaction_scan.h"
#include "update_list.h"
#include "update_package.h"
#include "utf8_path.h"

#include <algorithm>
#include <map>
#include <system_error>
#include <unordered_set>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

using Severity = InspectionFinding::Severity;

// The database name in the osql command when none was given: what the operator's run
// puts there instead.
constexpr const char* kDatabaseStandIn = "数据库名";

// The names under which the package's own program lies beside Update.ini; the copy
// leaves them alone.
constexpr const char* kProgramNames[] = {"P_Update", "P_Update.exe", "P_Update.com"};

// The run is asked only to check and to plan: it has nobody to talk to.
class SilentPerson : public Person {
public:
    void inform(const std::string&, const Details&) override {}
    bool confirm(const std::string&) override { return false; }
    std::unique_ptr<Progress> openProgress() override { return std::make_unique<SilentProgress>(); }
    void setStatus(const std::string&, const std::string&) override {}
    void closeWindow() override {}
};

class Findings {
public:
    explicit Findings(PackageInspection& inspection) : m_findings(inspection.findings) {}

    void error(std::string code, const fs::path& file, std::int64_t line, std::string message) {
        add(Severity::Error, std::move(code), file, line, 0, std::move(message));
    }
    void warning(std::string code, const fs::path& file, std::int64_t line, std::int64_t count,
                 std::string message) {
        add(Severity::Warning, std::move(code), file, line, count, std::move(message));
    }

private:
    void add(Severity severity, std::string code, const fs::path& file, std::int64_t line,
             std::int64_t count, std::string message) {
        m_findings.push_back({severity, std::move(code), file, line, count, std::move(message)});
    }
    std::vector<InspectionFinding>& m_findings;
};

std::string marginAdvice(const EncodingDetector::Decision& decision, TextEncoding chosen) {
    const TextEncoding other = chosen == TextEncoding::Gbk ? TextEncoding::Utf8 : TextEncoding::Gbk;
    return std::string("按 ") + encodingName(chosen) + " 读取，但按 " + encodingName(other) +
           " 读也说得通（差距 " + std::to_string(decision.margin()) +
           "），判断可能出错；建议以带字节顺序标记（BOM）的 UTF-8 保存";
}

// True when the name as written reaches `resolved` only through another letter case.
bool matchedInOtherCase(std::string_view written, const fs::path& resolved) {
    const std::vector<std::string_view> parts = splitPackagePath(written);
    if (parts.empty() || std::find(parts.begin(), parts.end(), "..") != parts.end()) {
        return false;
    }
    fs::path at = resolved;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        if (pathToUtf8(at.filename()) != *part) {
            return true;
        }
        at = at.parent_path();
    }
    return false;
}

// What the line runner will do with each line of a checked line-mode script.
struct LineTally {
    std::int64_t first = 0;
    std::int64_t count = 0;
    std::string what; // for statements refused in a transaction: the first one's words

    void note(std::int64_t line) {
        first = first == 0 ? line : first;
        ++count;
    }
};

std::string lineCountText(const LineTally& tally) {
    return tally.count > 1 ? "（共 " + std::to_string(tally.count) + " 行）" : std::string();
}

void readLines(InspectedEntry& entry, Findings& findings) {
    LineTally notText;
    LineTally zero;
    LineTally separator;
    LineTally refused;
    ScriptLineReader reader(entry.path);
    std::string raw;
    std::string statement;
    std::int64_t line = 0;
    while (reader.next(raw)) {
        ++line;
        switch (decodeScriptLine(raw, entry.encoding, statement)) {
        case ScriptLineVerdict::NotText:
            notText.note(line);
            break;
        case ScriptLineVerdict::ZeroCharacter:
            zero.note(line);
            break;
        case ScriptLineVerdict::Runs:
            if (isBatchSeparator(statement)) {
                separator.note(line);
            } else if (entry.inTransaction) {
                if (std::string what = statementRefusedInTransaction(statement); !what.empty()) {
                    if (refused.count == 0) {
                        refused.what = std::move(what);
                    }
                    refused.note(line);
                }
            }
            break;
        }
    }
    entry.lines = line;
    const fs::path& file = entry.path;
    if (notText.count > 0) {
        findings.warning("line-not-text", file, notText.first, notText.count,
                         std::string("脚本行不是有效的 ") + encodingName(entry.encoding) +
                             " 文本，升级时将记入日志并跳过" + lineCountText(notText));
    }
    if (zero.count > 0) {
        findings.warning("line-zero-byte", file, zero.first, zero.count,
                         "脚本行含有零字节，升级时将记入日志并跳过" + lineCountText(zero));
    }
    if (separator.count > 0) {
        findings.warning("go-line", file, separator.first, separator.count,
                         "GO 单独成行：逐行执行的脚本没有批处理分隔符，GO 将作为语句发给数据库而"
                         "出错，记入日志后跳过；需要 GO 的脚本应按 IsSqlserver 方式执行" +
                             lineCountText(separator));
    }
    if (refused.count > 0) {
        findings.warning("refused-in-transaction", file, refused.first, refused.count,
                         refused.what +
                             " 不能在事务中执行：本脚本在升级的事务中逐行执行，该语句将出错，"
                             "记入日志后跳过；应放到 IsSqlserver 方式执行的脚本中" +
                             lineCountText(refused));
    }
    if (reader.loneCarriageReturns() > 0) {
        findings.warning("lone-cr", file, reader.firstLoneCarriageReturnLine(),
                         reader.loneCarriageReturns(),
                         "脚本中有 " + std::to_string(reader.loneCarriageReturns()) +
                             " 个单独的回车符（CR）：升级程序只在换行符（LF）处分行，回车前后的"
                             "文字将连成一条语句执行；请以 CR LF 或 LF 换行");
    }
    if (reader.ctrlZLine() > 0) {
        findings.warning("ctrl-z", file, reader.ctrlZLine(), 0,
                         "脚本在文件结束之前含有 Ctrl-Z（0x1A）字符：升级程序读到它就认为文件已"
                         "结束，其后的内容不会执行");
    }
}

std::string folded(const fs::path& path) {
    return foldAsciiCase(pathToUtf8(filetree::normalPath(path)));
}

} // namespace

bool PackageInspection::refused() const {
    return std::any_of(findings.begin(), findings.end(), [](const InspectionFinding& finding) {
        return finding.severity == Severity::Error;
    });
}

bool PackageInspection::warned() const {
    return std::any_of(findings.begin(), findings.end(), [](const InspectionFinding& finding) {
        return finding.severity == Severity::Warning;
    });
}

int PackageInspection::exitStatus() const {
    return refused() ? 1 : warned() ? 3 : 0;
}

PackageInspection inspectPackage(const fs::path& package,
                                 const std::optional<std::string>& installFolder,
                                 const std::string& database, SqlDialect dialect) {
    PackageInspection result;
    fs::path folder = filetree::normalPath(fs::absolute(package));
    if (!folder.has_filename() && folder.has_parent_path() && folder != folder.root_path()) {
        folder = folder.parent_path();
    }
    result.package = folder;
    result.databaseGiven = !database.empty();
    result.database = database.empty() ? kDatabaseStandIn : database;
    if (installFolder) {
        result.installFolder = pathFromUtf8(*installFolder);
    }
    Findings findings(result);
    SilentPerson person;

    // The update list, as the run reads it before it asks anything.
    result.settingsFile = folder / std::string(kSettingsFileName);
    std::string listNotFound; // why no list was found, told when there are scripts to run
    try {
        UpdateListSetting setting = readUpdateList(folder);
        result.settingsFile = setting.file;
        result.list = std::move(setting.list);
        result.listEncoding = setting.encoding;
        result.listReadings = std::move(setting.readings);
        result.listDecision = setting.decision;
        listNotFound = std::move(setting.notFound);
    } catch (const PackageError& error) {
        findings.error("settings-file", result.settingsFile, 0, error.what());
    }
    std::error_code statusError;
    result.settingsFound = fs::is_regular_file(result.settingsFile, statusError);
    if (result.listEncoding && result.listDecision.weighed() &&
        result.listDecision.margin() < kSmallEncodingMargin && hasNonAscii(result.list)) {
        findings.warning("encoding-margin", result.settingsFile, 0, 0,
                         "升级设置文件" + marginAdvice(result.listDecision, *result.listEncoding));
    }

    PathResolver paths;
    PackageCheck check(folder, paths);
    fs::path programFiles;
    fs::path scripts;
    result.hasProgramFiles = paths.findFolder(folder, kProgramFilesFolder, programFiles);
    result.hasScripts = paths.findFolder(folder, kScriptFolder, scripts);
    const bool listBlank = trimBlanks(result.list).empty();
    result.appliesScripts = result.hasScripts && !listBlank;
    if (!result.hasProgramFiles && !result.hasScripts) {
        findings.error("no-package", folder, 0, text::kNoPackage);
    }
    if (!result.hasScripts && !listBlank) {
        findings.warning("no-script-folder", result.settingsFile, 0, 0,
                         "升级列表列出了脚本，但升级包中没有 UpdateSql 文件夹，脚本不会执行");
    }
    const std::vector<fs::path> scriptFiles =
        result.hasScripts ? filesBelow(scripts) : std::vector<fs::path>();
    if (!listNotFound.empty() && !scriptFiles.empty()) {
        findings.warning("list-not-found", result.settingsFile, 0, 0, listNotFound);
    } else if (result.hasScripts && listBlank && !scriptFiles.empty()) {
        findings.warning("empty-list", result.settingsFile, 0, 0,
                         "UpdateSql 文件夹中有 " + std::to_string(scriptFiles.size()) +
                             " 个文件，但升级列表是空的，没有脚本会执行");
    }

    // The check before the walk, every item of it, then what each checked script holds.
    if (result.appliesScripts) {
        std::size_t position = 0;
        bool transactionOpen = true; // until the first server-side entry commits it
        std::unordered_set<std::string> named;
        std::unordered_set<std::string> itemsSeen;
        std::map<std::pair<fs::path::string_type, bool>, std::int64_t> linesRead;
        check.checkEachEntry(
            result.list, result.database, dialect, [&](PackageCheck::ItemCheck&& item) {
                ++position;
                if (item.item.empty()) {
                    return; // names nothing; the run passes over it
                }
                InspectedEntry entry;
                entry.position = position;
                const UpdateEntry parts = splitEntry(item.item);
                entry.item = std::move(item.item);
                entry.file = parts.file;
                entry.kind = parts.kind;
                entry.path = std::move(item.entry.path);
                entry.refused = !item.reason.empty();
                // A name listed before is looked up and told of once.
                const bool seen = !itemsSeen.insert(entry.item).second;
                // A line-mode entry that passed is a regular file the check has read.
                std::error_code error;
                entry.exists = (!entry.refused && entry.kind == kLineMode) ||
                               (!entry.path.empty() && fs::exists(entry.path, error));
                if (!seen && !entry.path.empty()) {
                    named.insert(folded(entry.path));
                }
                if (entry.refused) {
                    const auto& control = item.entry.survey.transactionStatement;
                    // An entry refused before its name was resolved is told at the list.
                    findings.error(control ? "transaction-statement" : "entry-refused",
                                   entry.path.empty() ? result.settingsFile : entry.path,
                                   control ? control->line : 0, item.reason);
                    result.entries.push_back(std::move(entry));
                    return;
                }
                if (!seen && entry.exists && matchedInOtherCase(entry.file, entry.path)) {
                    entry.otherCase = true;
                    findings.warning(
                        "other-case", entry.path, 0, 0,
                        "升级列表中的名字 " + entry.file +
                            " 与磁盘上的文件只在字母大小写上不同；在 Windows 和本程序中"
                            "都能找到，但建议写成磁盘上的拼写");
                }
                if (entry.kind == kServerSideMode) {
                    entry.osqlCommand = buildOsqlCommand(result.database, pathToUtf8(entry.path));
                    transactionOpen = false;
                    if (!seen && !entry.exists) {
                        findings.warning(
                            "server-file-missing", entry.path, 0, 0,
                            "升级包中没有这个按 IsSqlserver 方式执行的脚本文件；它必须在"
                            "数据库服务器上以同一路径存在，否则 osql 找不到文件，而升级"
                            "不会察觉");
                    }
                } else {
                    const ScriptSurvey& survey = item.entry.survey;
                    entry.surveyed = true;
                    entry.encoding = survey.encoding;
                    entry.marked = survey.marked;
                    entry.decision = survey.decision;
                    entry.inTransaction = transactionOpen;
                    // A script listed again is read once; what it holds is told once.
                    const std::pair<fs::path::string_type, bool> key{entry.path.native(),
                                                                     entry.inTransaction};
                    const auto known = linesRead.find(key);
                    const bool again = known != linesRead.end();
                    if (!again && survey.decision.weighed() &&
                        survey.decision.margin() < kSmallEncodingMargin) {
                        findings.warning("encoding-margin", entry.path, 0, 0,
                                         "脚本文件" +
                                             marginAdvice(survey.decision, survey.encoding));
                    }
                    if (!again && survey.otherEncodingLines > 0) {
                        findings.warning("mixed-encoding", entry.path,
                                         survey.firstOtherEncodingLine, survey.otherEncodingLines,
                                         otherEncodingLinesText(survey));
                    }
                    try {
                        if (again) {
                            entry.lines = known->second;
                        } else {
                            readLines(entry, findings);
                            linesRead.emplace(key, entry.lines);
                        }
                    } catch (const std::system_error& readError) {
                        // The walk would fail on it the same way.
                        entry.refused = true;
                        findings.error("read-failed", entry.path, 0,
                                       "无法读取脚本文件 " + pathToUtf8(entry.path) + ": " +
                                           readError.code().message());
                    }
                }
                result.entries.push_back(std::move(entry));
            });
        for (const fs::path& file : scriptFiles) {
            if (named.count(folded(file)) == 0) {
                findings.warning("unnamed-script", file, 0, 0,
                                 "UpdateSql 中的这个文件没有列在升级列表中，不会执行");
            }
        }
    }

    // The copy, as it would go with the installation folder as typed.
    if (result.hasProgramFiles && installFolder) {
        if (const std::string refusal = PackageCheck::checkInstallFolder(*installFolder);
            !refusal.empty()) {
            findings.error("install-folder", result.installFolder.value_or(fs::path()), 0, refusal);
        } else {
            std::vector<fs::path> programs;
            for (const char* name : kProgramNames) {
                const fs::path program = folder / name;
                if (std::error_code error; fs::exists(program, error)) {
                    programs.push_back(program);
                }
            }
            RunLog log(folder); // a plan writes nothing to it
            ProgramCopy copy(log, person);
            keepRunningPackage(copy, paths, folder, programs, check.plan());
            CopyPlan plan;
            copy.plan(programFiles, *installFolder, plan);
            for (const CopyPlanItem& item : plan.items) {
                if (item.action == CopyPlanItem::Action::Skip) {
                    findings.warning("copy-skip", item.from, 0, 0,
                                     "复制程序文件时将出错（记入日志，升级继续）: " + item.reason);
                }
            }
            result.copyPlan = std::move(plan);
        }
    }
    return result;
}

} // namespace pupdate
