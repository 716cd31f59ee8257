#pragma once
// What the run tells the operator beyond the system's own messages: an account of the
// records it wrote to ReException.Log, offered with the outcome message, and the reason
// a connection could not be opened. All of that wording is in run_report.cpp.

#include "person.h"

#include <array>
#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace pupdate {

// What a record of ReException.Log is about, by the step of the run that wrote it.
enum class LogRecordKind {
    Other,
    Copy,         // a program file or folder that could not be copied
    Statement,    // a line-mode statement that failed, or a line that could not be read
    ServerScript, // a server-side script whose tool reported errors
    Failure,      // why the script walk failed
    Notice,       // no error: something the run did that the operator may look for
    Encoding,     // the encoding a script was read in, when not GBK: no error
};
inline constexpr std::size_t kLogRecordKinds = 7;
static_assert(static_cast<std::size_t>(LogRecordKind::Encoding) + 1 == kLogRecordKinds);

// The records this run wrote, counted by kind. Their text is kept up to a limit, so
// that a script whose every line fails costs no more memory than the limit.
class RunRecords {
public:
    // While a step lives, the records added are of its kind; steps nest.
    class Step {
    public:
        Step(RunRecords& records, LogRecordKind kind)
            : m_records(records), m_previous(records.m_kind) {
            records.m_kind = kind;
        }
        ~Step() { m_records.m_kind = m_previous; }
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;

    private:
        RunRecords& m_records;
        LogRecordKind m_previous;
    };

    // Text kept for the details; records past it are counted only.
    static constexpr std::size_t kKeptBytes = 64 * 1024;

    void clear();
    // A record as it was written to the log.
    void add(std::string_view text);
    // A line for the outcome's account that is no record of the log: something the
    // operator should know about how the run went, such as a guard it had to do without.
    void addNote(std::string text);
    // ReException.Log could not be written: the account no longer sends the operator there.
    void noteLogUnwritable() { m_logUnwritable = true; }
    std::size_t count(LogRecordKind kind) const;
    std::size_t total() const;
    // The records that tell of something that went wrong: all but the notices and the
    // encodings of scripts.
    std::size_t errors() const {
        return total() - count(LogRecordKind::Notice) - count(LogRecordKind::Encoding);
    }
    // Empty when no record but of an encoding was written and no note taken; otherwise the
    // account of the records and the notes, and the records' text, one after another with
    // an empty line between them.
    Details details() const;

private:
    LogRecordKind m_kind = LogRecordKind::Other;
    std::array<std::size_t, kLogRecordKinds> m_counts{};
    std::string m_kept;
    std::size_t m_keptRecords = 0;
    bool m_cut = false;    // the last kept record was cut short
    std::string m_failure; // the first line of the first failure record
    std::string m_notes;   // one line each
    bool m_logUnwritable = false;
};

// The status of a connection that could not be opened: a short reason in the operator's
// words. The driver's own message is error.what().
std::string connectionFailureStatus(const std::exception& error);

} // namespace pupdate
