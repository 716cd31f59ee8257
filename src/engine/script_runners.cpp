// The two ways of running one script: line by line over the first connection, or handed
// to the server's osql through xp_cmdshell on the second.

#include "code_page.h"
#include "interruption.h"
#include "update_package.h"
#include "upgrade_run.h"
#include "utf8_path.h"

#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

namespace pupdate {

namespace {

constexpr const char* kShellProcedure = "master.dbo.xp_cmdshell";

// A script line for the log, readable whatever is wrong with it: zero characters shown as
// <NUL>; in a line that is not valid text, every byte outside ASCII (or every broken UTF-16
// unit) as '?', so the log shows which line it was without carrying broken text.
std::string shownLine(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        if (c == '\0') {
            shown += "<NUL>";
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}

std::string printable(std::string_view raw, TextEncoding encoding) {
    if (encoding == TextEncoding::Utf16Le || encoding == TextEncoding::Utf16Be) {
        std::u16string units(raw.size() / 2, u'\0');
        for (std::size_t i = 0; i < units.size(); ++i) {
            units[i] = utf16Unit(raw.data() + 2 * i, encoding == TextEncoding::Utf16Be);
        }
        std::string shown = shownLine(utf16ToUtf8(units));
        if (raw.size() % 2 != 0) {
            shown.push_back('?');
        }
        return shown;
    }
    std::string shown(raw);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            c = '?';
        }
    }
    return shownLine(shown);
}

// What the server's command shell acts on inside double quotes: the quote that would end
// them, variables (%...%, and !...! where delayed expansion is on at the site) and control
// characters. '&', '|', '<', '>', '^', '(' and ')' are taken literally there.
bool isQuotedShellSafe(std::string_view value) {
    for (const unsigned char c : value) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '%' || c == '!') {
            return false;
        }
    }
    return true;
}

// Outside double quotes the shell also acts on its operators and escape character.
bool isShellSafe(std::string_view value) {
    for (const unsigned char c : value) {
        switch (c) {
        case '&':
        case '|':
        case '<':
        case '>':
        case '^':
            return false;
        default:
            break;
        }
    }
    return isQuotedShellSafe(value);
}

// A refused name or path as it was written, where it is text.
std::string shownAsWritten(std::string_view value) {
    return isValidUtf8(value) ? shownLine(value) : printable(value, TextEncoding::Utf8);
}

// A database name that osql can only take for a name: no blank that would end it and
// start an option, no separator, and no leading character that makes it an option.
bool isPlainName(std::string_view name) {
    if (name.empty() || name.front() == '-' || name.front() == '/') {
        return false;
    }
    for (const unsigned char c : name) {
        if (c <= 0x20 || c == ';' || c == ',') {
            return false;
        }
    }
    return true;
}

// osql reports a failing batch as "Msg <n>, Level <n>, State <n>, ..." lines.
bool reportsError(const std::vector<std::string>& output) {
    static const std::regex errorLine(R"(^\s*Msg \d+, Level \d+,)");
    for (const std::string& line : output) {
        if (std::regex_search(line, errorLine)) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string buildOsqlCommand(std::string_view database, std::string_view path) {
    // The command runs in the database server's shell: refuse anything that shell would
    // act on rather than pass to osql.
    if (!isValidUtf8(database) || !isShellSafe(database) || !isPlainName(database)) {
        throw std::invalid_argument("数据库名含有不能交给服务器命令行的字符: " +
                                    shownAsWritten(database));
    }
    // The path stands inside double quotes.
    if (!isValidUtf8(path) || !isQuotedShellSafe(path)) {
        throw std::invalid_argument("脚本路径含有不能交给服务器命令行的字符: " +
                                    shownAsWritten(path));
    }
    std::string command = "osql -E  -S (local) -d ";
    command += database;
    command += " -i \"";
    command += path;
    command += "\" ";
    return command;
}

void UpgradeRun::RunUpdateEntry(const UpdateEntryPlan& entry) {
    if (entry.kind == kLineMode) {
        runLineMode(entry);
    } else if (entry.kind == kServerSideMode) {
        runServerSide(entry.path);
    } else {
        throw std::invalid_argument(
            "未知的脚本类型 \"" + entry.kind +
            "\"（应为 IsAccess 或 IsSqlserver）: " + pathToUtf8(entry.path));
    }
}

void UpgradeRun::runLineMode(const UpdateEntryPlan& entry) {
    const RunRecords::Step statements(m_records, LogRecordKind::Statement);
    const std::filesystem::path& path = entry.path;
    const ScriptSurvey& survey = entry.survey;
    std::int64_t counter = 0;
    if (survey.encoding != TextEncoding::Gbk) {
        // The package's scripts are GBK; one read otherwise says so, once, so that its
        // author can tell from the log how its text was taken.
        const RunRecords::Step reading(m_records, LogRecordKind::Encoding);
        WriteExceptionLog(std::string("按 ") + encodingName(survey.encoding) +
                          " 编码读取脚本文件: " + pathToUtf8(path));
    }

    std::unique_ptr<Progress> progress = m_person.openProgress();
    progress->setMaximum(survey.lineCount);
    progress->setText(text::kChecking + pathToUtf8(path));

    ScriptLineReader reader(path);
    std::string raw;
    std::string statement;
    std::int64_t lineNumber = 0;
    while (reader.next(raw)) {
        ++lineNumber;
        if (interruptionRequested()) {
            throwInterrupted("在执行脚本 " + pathToUtf8(path) + " 第 " +
                             std::to_string(lineNumber) + " 行之前");
        }
        progress->setPosition(counter);
        progress->repaint();
        const ScriptLineVerdict verdict = decodeScriptLine(raw, survey.encoding, statement);
        if (verdict == ScriptLineVerdict::NotText) {
            WriteExceptionLog(std::string("脚本行不是有效的 ") + encodingName(survey.encoding) +
                              " 文本，未执行: " + printable(raw, survey.encoding) + "\r\n");
            continue;
        }
        // The drivers take a zero character for the end of the text and would run only
        // what comes before it: a different statement from the one written.
        if (verdict == ScriptLineVerdict::ZeroCharacter) {
            WriteExceptionLog("脚本行含有零字节，未执行: " + shownLine(statement) + "\r\n");
            continue;
        }
        statement += "\r\n";

        bool failed = false;
        std::string message;
        try {
            m_adoconn.execute(statement);
        } catch (const std::exception& error) {
            failed = true;
            message = error.what();
        }
        if (!failed) {
            ++counter;
            continue;
        }
        WriteExceptionLog(message + statement);
        // With the connection gone every later statement fails too, and the server has
        // dropped the transaction: the walk cannot succeed.
        if (m_adoconn.isDead()) {
            throw std::runtime_error("与数据库的连接已断开，升级不能继续: " + message);
        }
        // Going on after the database ended the transaction would let every later
        // statement take effect on its own, and the commit would be empty or refused.
        if (m_adoconn.inTransaction() && !m_transactionProof.holds(m_adoconn)) {
            throw std::runtime_error("数据库已结束本次升级的事务，升级不能继续（" +
                                     pathToUtf8(path) + "）。出错的语句: " + message + statement);
        }
    }
    // The bar ends on the count of statements that succeeded, so a script that ran
    // cleanly is not shown one short of its lines.
    progress->setPosition(counter);
    progress->repaint();
    progress->close();
}

void UpgradeRun::runServerSide(const std::filesystem::path& path) {
    const RunRecords::Step serverScript(m_records, LogRecordKind::ServerScript);
    // The name both connections were opened with, not the field, which may say more.
    const std::string command = buildOsqlCommand(m_openedDatabase, pathToUtf8(path));

    std::unique_ptr<Progress> progress = m_person.openProgress();
    if (m_adoconn.inTransaction()) {
        progress->setText(text::kCommitting);
        progress->setBarVisible(false);
        progress->repaint();
        if (interruptionRequested()) {
            throwInterrupted("在执行脚本 " + pathToUtf8(path) + " 之前");
        }
        proveTransactionBeforeCommit();
        m_adoconn.commitTrans();
        m_transactionScripts.clear();
        progress->setText(text::kCommitted);
        progress->repaint();
    }
    progress->setMaximum(100);
    progress->setText(text::kChecking + pathToUtf8(path));
    progress->setPosition(10);
    progress->repaint();
    progress->setPosition(40);
    progress->repaint();
    progress->setPosition(70);
    progress->repaint();
    if (interruptionRequested()) {
        throwInterrupted("在执行脚本 " + pathToUtf8(path) + " 之前");
    }

    const std::vector<std::string> output = m_adoconn1.callProcedure(kShellProcedure, command);
    if (reportsError(output)) {
        std::string record = command;
        for (const std::string& line : output) {
            record += "\r\n";
            record += line;
        }
        WriteExceptionLog(record);
    }

    progress->setPosition(100);
    progress->repaint();
    progress->close();
}

} // namespace pupdate
