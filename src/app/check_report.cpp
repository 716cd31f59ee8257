#include "check_report.h"

#include "code_page.h"
#include "utf8_path.h"

#include <algorithm>
#include <cstdio>

namespace pupdate {

namespace fs = std::filesystem;

namespace {

using Action = CopyPlanItem::Action;
using Basis = EncodingDetector::Decision::Basis;
using Severity = InspectionFinding::Severity;

// The length of the valid UTF-8 character at `at`, 0 when the bytes there are none.
std::size_t utf8CharacterAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return 1;
    }
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = at + 1; i < at + length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    const unsigned char second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
        return 0;
    }
    return length;
}

// A name as a person can tell it from every other: bytes that are not UTF-8 text (a GBK
// name on a UTF-8 system) and, with `controls`, control characters (an escape sequence,
// a line break in a file name) shown as \xHH rather than passed to the terminal.
std::string readable(std::string_view text, bool controls) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8CharacterAt(text, at);
        const auto byte = static_cast<unsigned char>(text[at]);
        if (length == 0 || (controls && length == 1 && (byte < 0x20 || byte == 0x7F))) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}

std::string shown(const fs::path& path) {
    return readable(pathToUtf8(path), true);
}

std::string basisText(const InspectedEntry& entry) {
    if (entry.marked) {
        return "字节顺序标记";
    }
    switch (entry.decision.basis) {
    case Basis::Ascii:
        return "只有 ASCII 字符";
    case Basis::OneReading:
        return "只有这一种读法是有效文本";
    case Basis::Weighed:
        return "两种读法都有效，按可信程度判断，差距 " + std::to_string(entry.decision.margin());
    }
    return std::string();
}

const char* basisName(const InspectedEntry& entry) {
    if (entry.marked) {
        return "mark";
    }
    switch (entry.decision.basis) {
    case Basis::Ascii:
        return "ascii";
    case Basis::OneReading:
        return "one-reading";
    case Basis::Weighed:
        return "weighed";
    }
    return "";
}

const char* actionName(Action action) {
    switch (action) {
    case Action::New:
        return "new";
    case Action::Replace:
        return "replace";
    case Action::Skip:
        return "skip";
    }
    return "";
}

struct CopyTotals {
    std::size_t files[3] = {0, 0, 0};
    std::uint64_t bytes[3] = {0, 0, 0};
};

CopyTotals totalsOf(const CopyPlan& plan) {
    CopyTotals totals;
    for (const CopyPlanItem& item : plan.items) {
        const auto at = static_cast<std::size_t>(item.action);
        ++totals.files[at];
        totals.bytes[at] += item.bytes;
    }
    return totals;
}

std::string findingPlace(const InspectionFinding& finding) {
    std::string place = finding.file.empty() ? std::string() : shown(finding.file);
    if (finding.line > 0) {
        place +=
            (place.empty() ? "" : " ") + std::string("第 ") + std::to_string(finding.line) + " 行";
    }
    return place;
}

void appendFindings(std::string& out, const PackageInspection& inspection, Severity severity) {
    for (const InspectionFinding& finding : inspection.findings) {
        if (finding.severity == severity) {
            const std::string place = findingPlace(finding);
            out += "  " + (place.empty() ? std::string() : place + ": ") +
                   readable(finding.message, true) + "\n";
        }
    }
}

// A small writer of one JSON document: members and elements are separated as they come.
class Json {
public:
    void open(char bracket) {
        separate();
        m_out.push_back(bracket);
        m_first = true;
    }
    void close(char bracket) {
        m_out.push_back(bracket);
        m_first = false;
    }
    void key(std::string_view name) {
        separate();
        appendJsonString(m_out, name);
        m_out.push_back(':');
        m_first = true; // the value follows without a comma
    }
    void value(std::string_view text) {
        separate();
        appendJsonString(m_out, text);
    }
    void value(const char* text) { value(std::string_view(text)); }
    void value(bool flag) {
        separate();
        m_out += flag ? "true" : "false";
    }
    void value(std::uint64_t number) {
        separate();
        m_out += std::to_string(number);
    }
    void value(std::int64_t number) {
        separate();
        m_out += std::to_string(number);
    }
    void null() {
        separate();
        m_out += "null";
    }
    template <typename T> void member(std::string_view name, const T& content) {
        key(name);
        value(content);
    }
    std::string take() { return std::move(m_out); }

private:
    void separate() {
        if (!m_first) {
            m_out.push_back(',');
        }
        m_first = false;
    }
    std::string m_out;
    bool m_first = true;
};

void jsonFindings(Json& json, const PackageInspection& inspection, Severity severity) {
    json.open('[');
    for (const InspectionFinding& finding : inspection.findings) {
        if (finding.severity != severity) {
            continue;
        }
        json.open('{');
        json.member("code", finding.code);
        json.key("file");
        if (finding.file.empty()) {
            json.null();
        } else {
            json.value(shown(finding.file));
        }
        json.key("line");
        if (finding.line > 0) {
            json.value(finding.line);
        } else {
            json.null();
        }
        json.member("count", finding.count);
        json.member("message", finding.message);
        json.close('}');
    }
    json.close(']');
}

} // namespace

void appendJsonString(std::string& out, std::string_view raw) {
    // Bytes that are not UTF-8 as \xHH, so that two names in another encoding differ.
    const std::string text = isValidUtf8(raw) ? std::string(raw) : readable(raw, false);
    out.push_back('"');
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
}

std::string checkReportText(const PackageInspection& inspection) {
    std::string out;
    out += "升级包: " + shown(inspection.package) + "\n";
    if (!inspection.settingsFound) {
        out += "升级设置文件: 没有 " + shown(inspection.settingsFile) + "，升级列表为空\n";
    } else if (inspection.listEncoding) {
        out += "升级设置文件: " + shown(inspection.settingsFile) + "（升级列表按 " +
               encodingName(*inspection.listEncoding) + " 读取）\n";
    } else {
        out += "升级设置文件: " + shown(inspection.settingsFile) + "（没有找到升级列表）\n";
    }
    out += std::string("程序文件夹 UpdatePro: ") + (inspection.hasProgramFiles ? "有" : "没有") +
           "；脚本文件夹 UpdateSql: " + (inspection.hasScripts ? "有" : "没有") + "\n";

    if (inspection.appliesScripts) {
        out += "升级列表（" + std::to_string(inspection.entries.size()) + " 项，按顺序执行）:\n";
    } else {
        out += "升级列表: 不执行脚本\n";
    }
    for (const InspectedEntry& entry : inspection.entries) {
        out += "  " + std::to_string(entry.position) + ". " + entry.item + "\n";
        if (entry.refused) {
            out += "     升级程序会拒绝这一项（见错误）\n";
            continue;
        }
        const bool server = !entry.osqlCommand.empty();
        out += std::string("     ") +
               (server ? "由服务器的 osql 执行（IsSqlserver）" : "逐行执行（IsAccess）") +
               "  文件: " + shown(entry.path) + (entry.exists ? "" : "（升级包中没有这个文件）") +
               "\n";
        if (server) {
            out += "     osql 命令: " + entry.osqlCommand + "\n";
            continue;
        }
        out += std::string("     编码: ") + encodingName(entry.encoding) + "（" + basisText(entry) +
               "）  行数: " + std::to_string(entry.lines) +
               (entry.inTransaction ? "  在升级的事务中" : "  在事务之外，逐条生效") + "\n";
    }
    if (!inspection.databaseGiven &&
        std::any_of(inspection.entries.begin(), inspection.entries.end(),
                    [](const InspectedEntry& entry) { return !entry.osqlCommand.empty(); })) {
        out += "  （osql 命令中的“" + inspection.database + "”在升级时是实际的数据库名）\n";
    }

    if (inspection.copyPlan) {
        const CopyPlan& plan = *inspection.copyPlan;
        const CopyTotals totals = totalsOf(plan);
        out += "复制程序文件到 " + shown(inspection.installFolder.value_or(fs::path())) +
               "（只是计划，没有复制）: 新增 " + std::to_string(totals.files[0]) + " 个文件（" +
               std::to_string(totals.bytes[0]) + " 字节），替换 " +
               std::to_string(totals.files[1]) + " 个文件（" + std::to_string(totals.bytes[1]) +
               " 字节），跳过 " + std::to_string(totals.files[2]) + " 处\n";
        for (const CopyPlanItem& item : plan.items) {
            switch (item.action) {
            case Action::New:
                out +=
                    "  新增: " + shown(item.to) + "（" + std::to_string(item.bytes) + " 字节）\n";
                break;
            case Action::Replace:
                out +=
                    "  替换: " + shown(item.to) + "（" + std::to_string(item.bytes) + " 字节）\n";
                break;
            case Action::Skip:
                out += "  跳过: " + item.reason + "\n";
                break;
            }
        }
        for (const std::string& notice : plan.notices) {
            out += "  注意: " + notice + "\n";
        }
    } else if (inspection.hasProgramFiles && !inspection.installFolder) {
        out += "复制程序文件: 没有给出安装目录，不列出复制计划\n";
    }

    std::size_t errors = 0;
    std::size_t warnings = 0;
    for (const InspectionFinding& finding : inspection.findings) {
        (finding.severity == Severity::Error ? errors : warnings) += 1;
    }
    if (errors > 0) {
        out += "错误（升级程序会拒绝这个升级包，什么也不改动）:\n";
        appendFindings(out, inspection, Severity::Error);
    }
    if (warnings > 0) {
        out += "警告（升级会进行，但结果可能不是升级包作者的本意）:\n";
        appendFindings(out, inspection, Severity::Warning);
    }
    if (errors > 0) {
        out += "结论: 升级程序会拒绝这个升级包（" + std::to_string(errors) + " 个错误，" +
               std::to_string(warnings) + " 条警告）。\n";
    } else if (warnings > 0) {
        out += "结论: 升级可以进行，但有 " + std::to_string(warnings) + " 条警告。\n";
    } else {
        out += "结论: 升级可以进行，没有发现问题。\n";
    }
    return out;
}

std::string checkReportJson(const PackageInspection& inspection) {
    Json json;
    json.open('{');
    json.member("package", shown(inspection.package));
    json.key("installFolder");
    if (inspection.installFolder) {
        json.value(shown(*inspection.installFolder));
    } else {
        json.null();
    }
    json.member("database", inspection.database);
    json.member("databaseGiven", inspection.databaseGiven);

    json.key("settingsFile");
    json.open('{');
    json.member("path", shown(inspection.settingsFile));
    json.member("found", inspection.settingsFound);
    json.key("encoding");
    if (inspection.listEncoding) {
        json.value(encodingName(*inspection.listEncoding));
    } else {
        json.null();
    }
    json.key("readings");
    json.open('[');
    for (const TextEncoding encoding : inspection.listReadings) {
        json.value(encodingName(encoding));
    }
    json.close(']');
    json.member("list", inspection.list);
    json.close('}');

    json.member("programFiles", inspection.hasProgramFiles);
    json.member("scripts", inspection.hasScripts);
    json.member("appliesScripts", inspection.appliesScripts);

    json.key("entries");
    json.open('[');
    for (const InspectedEntry& entry : inspection.entries) {
        json.open('{');
        json.member("position", static_cast<std::uint64_t>(entry.position));
        json.member("item", entry.item);
        json.member("file", entry.file);
        json.member("kind", entry.kind);
        json.member("path", shown(entry.path));
        json.member("exists", entry.exists);
        json.member("otherCase", entry.otherCase);
        json.member("refused", entry.refused);
        if (entry.surveyed) {
            json.member("encoding", encodingName(entry.encoding));
            json.member("decidedBy", basisName(entry));
            json.member("margin", entry.decision.margin());
            json.member("lines", entry.lines);
            json.member("inTransaction", entry.inTransaction);
        }
        if (!entry.osqlCommand.empty()) {
            json.member("osqlCommand", entry.osqlCommand);
        }
        json.close('}');
    }
    json.close(']');

    json.key("copyPlan");
    if (inspection.copyPlan) {
        const CopyPlan& plan = *inspection.copyPlan;
        const CopyTotals totals = totalsOf(plan);
        json.open('{');
        json.member("new", static_cast<std::uint64_t>(totals.files[0]));
        json.member("newBytes", totals.bytes[0]);
        json.member("replaced", static_cast<std::uint64_t>(totals.files[1]));
        json.member("replacedBytes", totals.bytes[1]);
        json.member("skipped", static_cast<std::uint64_t>(totals.files[2]));
        json.key("items");
        json.open('[');
        for (const CopyPlanItem& item : plan.items) {
            json.open('{');
            json.member("action", actionName(item.action));
            if (item.action == Action::Skip) {
                json.member("reason", item.reason);
            } else {
                json.member("from", shown(item.from));
                json.member("to", shown(item.to));
                json.member("bytes", item.bytes);
            }
            json.close('}');
        }
        json.close(']');
        json.key("notices");
        json.open('[');
        for (const std::string& notice : plan.notices) {
            json.value(notice);
        }
        json.close(']');
        json.close('}');
    } else {
        json.null();
    }

    json.key("errors");
    jsonFindings(json, inspection, Severity::Error);
    json.key("warnings");
    jsonFindings(json, inspection, Severity::Warning);
    json.member("outcome", inspection.refused()  ? "refused"
                           : inspection.warned() ? "warnings"
                                                 : "clean");
    json.member("exitStatus", static_cast<std::int64_t>(inspection.exitStatus()));
    json.close('}');
    return json.take() + "\n";
}

} // namespace pupdate
