#include "run_log.h"

#include "exception_log.h"

namespace pupdate {

void RunLog::write(std::string_view text) {
    m_records.add(text);
    try {
        WriteExceptionLog(m_folder, text);
    } catch (const LogWriteError&) {
        m_records.noteLogUnwritable();
        throw;
    }
}

void RunLog::writeNotice(std::string_view text) {
    const auto noting = step(LogRecordKind::Notice);
    write(text);
}

} // namespace pupdate
