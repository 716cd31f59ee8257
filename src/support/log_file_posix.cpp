#include "exception_log.h"
#include "log_file.h"
#include "utf8_path.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace pupdate {

namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const char* action, int error) {
    throw LogWriteError("无法" + std::string(action) + "异常日志 " + pathToUtf8(file) +
                        ": " + std::strerror(error));
}

} // namespace

void appendToLogFile(const std::filesystem::path& file, std::string_view bytes) {
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        fail(file, "打开", errno);
    }
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(descriptor);
            fail(file, "写入", error);
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (::close(descriptor) != 0) {
        fail(file, "关闭", errno);
    }
}

} // namespace pupdate
