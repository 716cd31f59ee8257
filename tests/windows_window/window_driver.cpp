#include "window_driver.h"

#include "code_page.h"
#include "host_path.h"
#include "utf8_path.h"

#include <algorithm>
#include <commctrl.h>
#include <cstdlib>
#include <cwchar>
#include <stdexcept>
#include <thread>

namespace pupdate::testing {

namespace fs = std::filesystem;

namespace {

constexpr UINT kSendLimitMs = 10000;

std::wstring wide(const std::string& utf8) {
    const std::u16string text = utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

std::string utf8(const std::wstring& text) {
    return utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

// This process's environment with P_UPDATE_ODBC set, sorted as CreateProcessW wants it.
std::wstring environmentWith(const std::string& odbcTemplate) {
    std::vector<std::wstring> entries;
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        if (::_wcsnicmp(entry, L"P_UPDATE_ODBC=", 14) != 0) {
            entries.emplace_back(entry);
        }
    }
    ::FreeEnvironmentStringsW(block);
    entries.push_back(L"P_UPDATE_ODBC=" + wide(odbcTemplate));
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return ::_wcsicmp(a.c_str(), b.c_str()) < 0;
    });
    std::wstring result;
    for (const std::wstring& entry : entries) {
        result += entry + L'\0';
    }
    return result + L'\0';
}

// Memory in the program's process for a call whose answer Windows does not carry across
// processes (the control writes it into a buffer it is given).
class RemoteBuffer {
public:
    RemoteBuffer(HANDLE process, std::size_t size)
        : m_process(process),
          m_address(
              ::VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {
        if (m_address == nullptr) {
            throw std::runtime_error("VirtualAllocEx failed");
        }
    }
    ~RemoteBuffer() { ::VirtualFreeEx(m_process, m_address, 0, MEM_RELEASE); }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    char* at(std::size_t offset) const { return static_cast<char*>(m_address) + offset; }
    void write(std::size_t offset, const void* data, std::size_t size) const {
        ::WriteProcessMemory(m_process, at(offset), data, size, nullptr);
    }
    std::wstring readText(std::size_t offset, std::size_t chars) const {
        std::wstring text(chars, L'\0');
        ::ReadProcessMemory(m_process, at(offset), text.data(), chars * sizeof(wchar_t), nullptr);
        return text.substr(0, text.find(L'\0'));
    }

private:
    HANDLE m_process;
    void* m_address;
};

LRESULT sendWaiting(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, kSendLimitMs, &result);
    return static_cast<LRESULT>(result);
}

struct WindowSearch {
    DWORD process;
    const wchar_t* className;
    const std::wstring* caption; // null: any
    bool visibleOnly;
    HWND found = nullptr;
};

BOOL CALLBACK considerWindow(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<WindowSearch*>(parameter);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, static_cast<int>(std::size(className)));
    if (process != search.process || std::wcscmp(className, search.className) != 0 ||
        (search.visibleOnly && !::IsWindowVisible(window))) {
        return TRUE;
    }
    if (search.caption != nullptr && wide(textOf(window)) != *search.caption) {
        return TRUE;
    }
    search.found = window;
    return FALSE;
}

} // namespace

WindowProgram::WindowProgram(const fs::path& package, const std::vector<std::string>& arguments,
                             const std::string& odbcTemplate) {
    const fs::path built = pathFromHost(P_UPDATE_WINDOW_PROGRAM);
    const fs::path program = package / built.filename();
    fs::create_directories(package);
    fs::copy_file(built, program, fs::copy_options::overwrite_existing);
    std::wstring line = L"\"" + program.wstring() + L"\"";
    for (const std::string& argument : arguments) {
        line += L" \"" + wide(argument) + L"\"";
    }
    std::wstring environment = environmentWith(odbcTemplate);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT, environment.data(), package.c_str(), &startup,
                          &process)) {
        throw std::runtime_error("cannot start P_Update.exe");
    }
    ::CloseHandle(process.hThread);
    m_process = process.hProcess;
    m_id = process.dwProcessId;
}

WindowProgram::~WindowProgram() {
    if (running()) {
        ::TerminateProcess(m_process, 1);
        ::WaitForSingleObject(m_process, INFINITE);
    }
    ::CloseHandle(m_process);
}

HWND WindowProgram::findWindow(const wchar_t* className, bool visibleOnly) const {
    WindowSearch search{m_id, className, nullptr, visibleOnly};
    ::EnumWindows(considerWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WindowProgram::waitForWindow(const wchar_t* className, const std::wstring& caption,
                                  std::chrono::milliseconds limit) const {
    WindowSearch search{m_id, className, &caption, true};
    waitUntil(
        [&] {
            ::EnumWindows(considerWindow, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        limit);
    return search.found;
}

bool WindowProgram::running() const {
    return ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT;
}

int WindowProgram::waitForExit(std::chrono::milliseconds limit) {
    if (::WaitForSingleObject(m_process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD status = 0;
    ::GetExitCodeProcess(m_process, &status);
    return static_cast<int>(status);
}

std::string WindowProgram::statusText(HWND statusBar, int part) const {
    constexpr std::size_t kChars = 1024;
    const RemoteBuffer buffer(m_process, kChars * sizeof(wchar_t));
    sendWaiting(statusBar, SB_GETTEXTW, static_cast<WPARAM>(part),
                reinterpret_cast<LPARAM>(buffer.at(0)));
    return utf8(buffer.readText(0, kChars));
}

std::string WindowProgram::toolTipText(HWND owner, UINT_PTR id) const {
    constexpr std::size_t kChars = 4096;
    const RemoteBuffer buffer(m_process, sizeof(TTTOOLINFOW) + kChars * sizeof(wchar_t));
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = owner;
    tool.uId = id;
    tool.lpszText = reinterpret_cast<wchar_t*>(buffer.at(sizeof tool));
    buffer.write(0, &tool, sizeof tool);
    for (HWND tip = nullptr;
         (tip = ::FindWindowExW(nullptr, tip, TOOLTIPS_CLASSW, nullptr)) != nullptr;) {
        DWORD process = 0;
        ::GetWindowThreadProcessId(tip, &process);
        if (process != m_id) {
            continue;
        }
        sendWaiting(tip, TTM_GETTEXTW, kChars, reinterpret_cast<LPARAM>(buffer.at(0)));
        const std::wstring text = buffer.readText(sizeof tool, kChars);
        if (!text.empty()) {
            return utf8(text);
        }
    }
    return {};
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string textOf(HWND window) {
    wchar_t text[8192] = {};
    sendWaiting(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text));
    return utf8(text);
}

void setText(HWND window, const std::string& text) {
    const std::wstring value = wide(text);
    sendWaiting(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
}

void click(HWND button) {
    ::PostMessageW(button, BM_CLICK, 0, 0);
}

void pick(HWND list, int index) {
    sendWaiting(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    ::PostMessageW(::GetParent(list), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(list), CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(list));
}

std::vector<std::string> controlTexts(HWND window) {
    std::vector<std::string> texts;
    for (HWND control = ::GetWindow(window, GW_CHILD); control != nullptr;
         control = ::GetWindow(control, GW_HWNDNEXT)) {
        texts.push_back(textOf(control));
    }
    return texts;
}

HWND controlWithText(HWND window, const std::string& text) {
    for (HWND control = ::GetWindow(window, GW_CHILD); control != nullptr;
         control = ::GetWindow(control, GW_HWNDNEXT)) {
        if (textOf(control) == text) {
            return control;
        }
    }
    return nullptr;
}

SIZE clientSize(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    return {client.right, client.bottom};
}

RECT placeOf(HWND control) {
    RECT place{};
    ::GetWindowRect(control, &place);
    ::MapWindowPoints(nullptr, ::GetParent(control), reinterpret_cast<POINT*>(&place), 2);
    return place;
}

bool capturing() {
    return std::getenv("P_UPDATE_SCREENSHOTS") != nullptr &&
           std::getenv("P_UPDATE_SCREENSHOT_TOOL") != nullptr;
}

void capture(const char* name) {
    if (!capturing()) {
        return;
    }
    const char* folder = std::getenv("P_UPDATE_SCREENSHOTS");
    const char* tool = std::getenv("P_UPDATE_SCREENSHOT_TOOL");
    // Let the program and the window manager finish drawing first.
    std::this_thread::sleep_for(700ms);
    const std::string picture = std::string(folder) + "/" + name + ".png";
    const fs::path written = pathFromHost(picture);
    std::error_code ignored;
    fs::remove(written, ignored);
    std::wstring line = wide(tool) + L" -window root \"" + wide(picture) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return;
    }
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    // The tool is a program of the host, whose end Wine does not tell: the picture is
    // taken when its file has stopped growing.
    std::uintmax_t size = 0;
    waitUntil([&] {
        const std::uintmax_t before = size;
        size = fs::exists(written) ? fs::file_size(written, ignored) : 0;
        std::this_thread::sleep_for(200ms);
        return size > 0 && size == before;
    });
}

} // namespace pupdate::testing
