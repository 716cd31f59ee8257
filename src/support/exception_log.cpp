// ReException.Log: records are appended in GBK, each followed by CR LF; nothing else is
// ever written to the file.

#include "exception_log.h"

#include "code_page.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace pupdate {

namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const char* action, int error) {
    throw LogWriteError("cannot " + std::string(action) + " the exception log " + file.string() +
                        ": " + std::strerror(error));
}

} // namespace

void WriteExceptionLog(const std::filesystem::path& folder, std::string_view textUtf8) {
    const std::filesystem::path file = folder / std::string(kExceptionLogName);
    std::string record = utf8ToGbkLossy(textUtf8);
    record += "\r\n";

    const int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        fail(file, "open", errno);
    }
    const char* data = record.data();
    std::size_t left = record.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(descriptor);
            fail(file, "write", error);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (::close(descriptor) != 0) {
        fail(file, "close", errno);
    }
}

} // namespace pupdate
