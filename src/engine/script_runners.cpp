#include "script_runners.h"

#include "code_page.h"
#include "interruption.h"
#include "messages.h"
#include "osql_command.h"
#include "script_file.h"
#include "text.h"
#include "utf8_path.h"

#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

namespace pupdate {

namespace {

constexpr const char* kShellProcedure = "master.dbo.xp_cmdshell";

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

void ScriptRunners::runLineMode(const UpdateEntryPlan& entry) {
    const auto statements = m_log.step(LogRecordKind::Statement);
    const std::filesystem::path& path = entry.path;
    const ScriptSurvey& survey = entry.survey;
    std::int64_t counter = 0;
    if (survey.encoding != TextEncoding::Gbk) {
        // The package's scripts are GBK; one read otherwise says so, once, so that its
        // author can tell from the log how its text was taken.
        const auto reading = m_log.step(LogRecordKind::Encoding);
        m_log.write(std::string("按 ") + encodingName(survey.encoding) +
                    " 编码读取脚本文件: " + pathToUtf8(path));
    }
    if (survey.otherEncodingLines > 0) {
        // Run as read all the same: the author learns which lines may not say what was meant.
        const auto reading = m_log.step(LogRecordKind::Encoding);
        m_log.write(otherEncodingLinesText(survey) + ": " + pathToUtf8(path));
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
            m_log.write(std::string("脚本行不是有效的 ") + encodingName(survey.encoding) +
                        " 文本，未执行: " + printable(raw, survey.encoding) + "\r\n");
            continue;
        }
        // The drivers take a zero character for the end of the text and would run only
        // what comes before it: a different statement from the one written.
        if (verdict == ScriptLineVerdict::ZeroCharacter) {
            m_log.write("脚本行含有零字节，未执行: " + shownLine(statement) + "\r\n");
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
        m_log.write(message + statement);
        // With the connection gone every later statement fails too, and the server has
        // dropped the transaction: the walk cannot succeed.
        if (m_adoconn.isDead()) {
            throw std::runtime_error("与数据库的连接已断开，升级不能继续: " + message);
        }
        // Going on after the database ended the transaction would let every later
        // statement take effect on its own, and the commit would be empty or refused.
        if (m_walk.transactionLost()) {
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

void ScriptRunners::runServerSide(const std::filesystem::path& path, std::string_view database) {
    const auto serverScript = m_log.step(LogRecordKind::ServerScript);
    const std::string command = buildOsqlCommand(database, pathToUtf8(path));

    std::unique_ptr<Progress> progress = m_person.openProgress();
    if (m_adoconn.inTransaction()) {
        m_walk.commit(*progress, "在执行脚本 " + pathToUtf8(path) + " 之前");
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
        m_log.write(record);
    }

    progress->setPosition(100);
    progress->repaint();
    progress->close();
}

} // namespace pupdate
