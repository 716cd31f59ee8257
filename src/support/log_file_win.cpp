#include "code_page.h"
#include "exception_log.h"
#include "log_file.h"
#include "utf8_path.h"

#include <string>
#include <windows.h>

namespace pupdate {

namespace {

// The system's text for a Win32 error code, as UTF-8.
std::string systemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string message;
    if (length > 0 && text != nullptr) {
        message.assign(reinterpret_cast<const char16_t*>(text), length);
    }
    ::LocalFree(text);
    while (!message.empty() && (message.back() == u'\r' || message.back() == u'\n' ||
                                message.back() == u' ' || message.back() == u'.')) {
        message.pop_back();
    }
    if (message.empty()) {
        return "error " + std::to_string(error);
    }
    return utf16ToUtf8(message);
}

[[noreturn]] void fail(const std::filesystem::path& file, const char* action, DWORD error) {
    throw LogWriteError("无法" + std::string(action) + "异常日志 " + pathToUtf8(file) +
                        ": " + systemMessage(error));
}

} // namespace

void appendToLogFile(const std::filesystem::path& file, std::string_view bytes) {
    // FILE_APPEND_DATA alone: every write goes to the end of the file, as O_APPEND does.
    // The handle is not inherited by programs started meanwhile.
    const HANDLE handle =
        ::CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        fail(file, "打开", ::GetLastError());
    }
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const DWORD piece = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!::WriteFile(handle, data, piece, &written, nullptr)) {
            const DWORD error = ::GetLastError();
            ::CloseHandle(handle);
            fail(file, "写入", error);
        }
        data += written;
        left -= written;
    }
    if (!::CloseHandle(handle)) {
        fail(file, "关闭", ::GetLastError());
    }
}

} // namespace pupdate
