// ReException.Log: records are appended in GBK, each followed by CR LF; nothing else is
// ever written to the file.

#include "exception_log.h"

#include "code_page.h"
#include "log_file.h"
#include "utf8_path.h"

#include <string>

namespace pupdate {

void WriteExceptionLog(const std::filesystem::path& folder, std::string_view textUtf8) {
    const std::filesystem::path file = folder / pathFromUtf8(kExceptionLogName);
    std::string record = utf8ToGbkLossy(textUtf8);
    record += "\r\n";
    appendToLogFile(file, record);
}

} // namespace pupdate
