#pragma once
// ReException.Log as a run writes it: every record is appended to the log in the program
// folder and noted among the run's records (RunRecords, run_report.h), from which the
// outcome's account is made. The run, the copy, the walk and the runners all write
// through it.

#include "run_report.h"

#include <filesystem>
#include <string_view>

namespace pupdate {

class RunLog {
public:
    explicit RunLog(std::filesystem::path folder) : m_folder(std::move(folder)) {}

    // Appends a record to ReException.Log and notes it among the records. Noted first:
    // what the run meant to record is offered to the operator even when the log itself
    // cannot be written, which raises LogWriteError.
    void write(std::string_view text);
    // The same for a record that tells of no error (LogRecordKind::Notice).
    void writeNotice(std::string_view text);
    // While the step lives, what is written is of `kind`; steps nest.
    [[nodiscard]] RunRecords::Step step(LogRecordKind kind) {
        return RunRecords::Step(m_records, kind);
    }

    // The records written since the run started.
    RunRecords& records() { return m_records; }
    const RunRecords& records() const { return m_records; }

private:
    std::filesystem::path m_folder;
    RunRecords m_records;
};

} // namespace pupdate
