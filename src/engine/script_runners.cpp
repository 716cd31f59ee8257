// The two ways of running one script: line by line over the first connection, or handed
// to the server's osql through xp_cmdshell on the second.

#include "code_page.h"
#include "update_package.h"
#include "upgrade_run.h"

#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

namespace pupdate {

namespace {

constexpr std::string_view kLineMode = "IsAccess";
constexpr std::string_view kServerSideMode = "IsSqlserver";
constexpr const char* kShellProcedure = "master.dbo.xp_cmdshell";

// A line that is not valid text in its file's encoding, shown with every byte outside
// ASCII as '?', so the log shows which line it was without carrying broken text.
std::string printable(std::string_view raw) {
    std::string shown(raw);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            c = '?';
        }
    }
    return shown;
}

bool isShellSafe(std::string_view value) {
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
        switch (c) {
        case '"':
        case '&':
        case '|':
        case '<':
        case '>':
        case '^':
        case '%':
        case '!':
            return false;
        default:
            break;
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
    if (!isShellSafe(database)) {
        throw std::invalid_argument("数据库名含有不能交给服务器命令行的字符: " +
                                    printable(database));
    }
    if (!isShellSafe(path)) {
        throw std::invalid_argument("脚本路径含有不能交给服务器命令行的字符: " + printable(path));
    }
    std::string command = "osql -E  -S (local) -d ";
    command += database;
    command += " -i \"";
    command += path;
    command += "\" ";
    return command;
}

void UpgradeRun::RunUpdateEntry(const std::string& kind, const std::filesystem::path& path) {
    if (kind == kLineMode) {
        runLineMode(path);
    } else if (kind == kServerSideMode) {
        runServerSide(path);
    } else {
        // Skipping it would report a script that never ran as applied.
        throw std::invalid_argument("未知的脚本类型 \"" + kind +
                                    "\"（应为 IsAccess 或 IsSqlserver）: " + path.string());
    }
}

void UpgradeRun::runLineMode(const std::filesystem::path& path) {
    const RunRecords::Step statements(m_records, LogRecordKind::Statement);
    std::int64_t counter = 0;
    const ScriptSurvey survey = surveyScript(path);

    std::unique_ptr<Progress> progress = m_person.openProgress();
    progress->setMaximum(survey.lineCount);
    progress->setText(text::kChecking + path.string());

    // Only SQL Server can doom a transaction on a statement error; elsewhere a failed
    // statement leaves the transaction as it was.
    const bool canDoom = m_adoconn.dbmsName().find("SQL Server") != std::string::npos;

    ScriptLineReader reader(path);
    std::string raw;
    std::string statement;
    while (reader.next(raw)) {
        progress->setPosition(counter);
        progress->repaint();
        try {
            statement = decodeLine(raw, survey.encoding);
        } catch (const CodePageError&) {
            const char* encodingName = survey.encoding == TextEncoding::Gbk ? "GBK" : "UTF-8";
            WriteExceptionLog(std::string("脚本行不是有效的 ") + encodingName +
                              " 文本，未执行: " + printable(raw) + "\r\n");
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
        if (canDoom && m_adoconn.inTransaction()) {
            // Going on after the server rolled the whole transaction back would commit
            // only the later statements.
            auto state = m_adoconn.queryFirstRow("SELECT XACT_STATE()");
            if (!state || !(*state)[0] || *(*state)[0] != "1") {
                throw std::runtime_error("服务器已回滚整个事务，升级不能继续: " + path.string());
            }
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
    const std::string command = buildOsqlCommand(trimBlanks(m_settings.database), path.string());

    std::unique_ptr<Progress> progress = m_person.openProgress();
    if (m_adoconn.inTransaction()) {
        progress->setText(text::kCommitting);
        progress->setBarVisible(false);
        progress->repaint();
        m_adoconn.commitTrans();
        progress->setText(text::kCommitted);
        progress->repaint();
    }
    progress->setMaximum(100);
    progress->setText(text::kChecking + path.string());
    progress->setPosition(10);
    progress->repaint();
    progress->setPosition(40);
    progress->repaint();
    progress->setPosition(70);
    progress->repaint();

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
