#include "code_page.h"
#include "host_path.h"
#include "utf8_path.h"

#include <windows.h>

namespace pupdate::testing {

namespace {

// Wine's own conversions between Windows and Unix names (kernel32); absent on Windows.
using ToUnix = char*(CDECL*)(const wchar_t*);
using ToWindows = wchar_t*(CDECL*)(const char*);

template <typename Function> Function wineFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

} // namespace

std::string hostPath(const std::filesystem::path& path) {
    static const ToUnix toUnix = wineFunction<ToUnix>("wine_get_unix_file_name");
    if (toUnix == nullptr) {
        return pathToUtf8(path);
    }
    char* unixName = toUnix(std::filesystem::absolute(path).c_str());
    if (unixName == nullptr) {
        return pathToUtf8(path);
    }
    std::string result(unixName);
    ::HeapFree(::GetProcessHeap(), 0, unixName);
    return result;
}

std::filesystem::path pathFromHost(std::string_view hostPath) {
    static const ToWindows toWindows = wineFunction<ToWindows>("wine_get_dos_file_name");
    if (toWindows == nullptr) {
        return pathFromUtf8(hostPath);
    }
    wchar_t* windowsName = toWindows(std::string(hostPath).c_str());
    if (windowsName == nullptr) {
        return pathFromUtf8(hostPath);
    }
    std::filesystem::path result(windowsName);
    ::HeapFree(::GetProcessHeap(), 0, windowsName);
    return result;
}

} // namespace pupdate::testing
