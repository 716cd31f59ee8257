#include "run_report.h"

#include "odbc.h"

#include <string>

namespace pupdate {

namespace {

constexpr std::size_t kFailureLineBytes = 300;

std::size_t index(LogRecordKind kind) {
    return static_cast<std::size_t>(kind);
}

// The longest start of `text` of at most `bytes` bytes that does not end inside a
// UTF-8 sequence.
std::string_view utf8Prefix(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return text;
    }
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

// A record as a person reads it: line breaks as "\n", none at its end.
std::string readable(std::string_view record) {
    std::string text;
    text.reserve(record.size());
    for (std::size_t at = 0; at < record.size(); ++at) {
        if (record[at] == '\r') {
            text += '\n';
            if (at + 1 < record.size() && record[at + 1] == '\n') {
                ++at;
            }
        } else {
            text += record[at];
        }
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

} // namespace

void RunRecords::clear() {
    m_counts = {};
    m_kept.clear();
    m_keptRecords = 0;
    m_cut = false;
    m_failure.clear();
    m_notes.clear();
    m_logUnwritable = false;
}

void RunRecords::addNote(std::string text) {
    m_notes += text;
    m_notes += '\n';
}

void RunRecords::add(std::string_view text) {
    ++m_counts[index(m_kind)];
    if (m_kind == LogRecordKind::Failure && m_failure.empty()) {
        const std::string_view firstLine = text.substr(0, text.find_first_of("\r\n"));
        m_failure = utf8Prefix(firstLine, kFailureLineBytes);
        if (m_failure.size() < firstLine.size()) {
            m_failure += "……";
        }
    }
    if (m_cut || m_kept.size() >= kKeptBytes) {
        return;
    }
    const std::string record = readable(text);
    const std::string separator = m_kept.empty() ? "" : "\n\n";
    const std::size_t room = kKeptBytes - m_kept.size();
    if (separator.size() + record.size() <= room) {
        m_kept += separator + record;
    } else {
        // The first record that does not fit is shown as far as it goes.
        m_kept += separator;
        m_kept += utf8Prefix(record, room > separator.size() ? room - separator.size() : 0);
        m_kept += "……";
        m_cut = true;
    }
    ++m_keptRecords;
}

std::size_t RunRecords::count(LogRecordKind kind) const {
    return m_counts[index(kind)];
}

std::size_t RunRecords::total() const {
    std::size_t sum = 0;
    for (const std::size_t count : m_counts) {
        sum += count;
    }
    return sum;
}

Details RunRecords::details() const {
    // The encoding a script was read in is worth a line in the log, for its author, but
    // a run that wrote nothing else went cleanly.
    if (total() == count(LogRecordKind::Encoding)) {
        return {m_notes.empty() ? std::string() : m_notes.substr(0, m_notes.size() - 1), {}};
    }
    std::string counted;
    const auto part = [&counted](std::size_t count, const char* before, const char* after) {
        if (count == 0) {
            return;
        }
        counted += counted.empty() ? "" : "，";
        counted += before;
        counted += std::to_string(count);
        counted += after;
    };
    part(count(LogRecordKind::Statement), "", " 条语句执行失败");
    part(count(LogRecordKind::Copy), "", " 处程序文件复制出错");
    part(count(LogRecordKind::ServerScript), "", " 个服务器端脚本报告错误");
    part(count(LogRecordKind::Notice), "", " 条说明记录");
    if (counted.empty()) {
        part(count(LogRecordKind::Other), "", " 条错误记录");
    } else {
        part(count(LogRecordKind::Other), "另有 ", " 条其他错误记录");
    }

    Details details;
    if (!counted.empty()) {
        details.summary += "本次升级有 " + counted + "。\n";
    }
    if (!m_failure.empty()) {
        details.summary += "失败原因：" + m_failure + "\n";
    }
    details.summary += m_notes;
    details.summary += m_logUnwritable ? "ReException.Log 无法写入，记录没有全部保存。"
                                       : "详细记录见 ReException.Log。";

    details.text = m_kept;
    if (m_keptRecords < total()) {
        details.text +=
            "\n\n（另有 " + std::to_string(total() - m_keptRecords) +
            (m_logUnwritable ? " 条记录未列出。）" : " 条记录未列出，见 ReException.Log。）");
    }
    return details;
}

std::string connectionFailureStatus(const std::exception& error) {
    // The server refused the login (SQL Server's error 18456, or the ODBC state for an
    // invalid authorization); anything else is told as a connection that failed.
    if (const auto* odbcError = dynamic_cast<const odbc::OdbcError*>(&error)) {
        if (odbcError->sqlState() == "28000" || odbcError->nativeCode() == 18456) {
            return "登录数据库失败！";
        }
    }
    return "连接数据库失败！";
}

} // namespace pupdate
