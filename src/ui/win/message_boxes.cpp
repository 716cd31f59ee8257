#include "message_boxes.h"

#include "upgrade_run.h"
#include "wide_text.h"

#include <algorithm>
#include <commctrl.h>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace pupdate::win {

namespace {

// How much of the records a box shows. A box grows with its text and does not scroll:
// the records beyond this are in ReException.Log, as the summary says.
constexpr std::size_t kShownDetailLines = 24;
constexpr std::size_t kShownDetailChars = 3000;
constexpr const char* kMoreDetails = "……（其余记录见 ReException.Log。）";

constexpr const wchar_t* kShowDetails = L"显示详情...";
constexpr const wchar_t* kHideDetails = L"隐藏详情...";
// Wide enough for a driver's message or a statement on one line, in dialog units.
constexpr UINT kDetailsBoxWidth = 280;

// The start of the records that a box can show.
std::string shownDetails(const std::string& text) {
    std::size_t end = 0;
    for (std::size_t lines = 0; end < text.size() && lines < kShownDetailLines; ++lines) {
        const std::size_t next = text.find('\n', end);
        end = next == std::string::npos ? text.size() : next + 1;
    }
    end = std::min(end, kShownDetailChars);
    if (end >= text.size()) {
        return text;
    }
    // Not inside a UTF-8 sequence.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    std::string shown = text.substr(0, end);
    if (!shown.empty() && shown.back() != '\n') {
        shown += '\n';
    }
    return shown + kMoreDetails;
}

std::wstring withSummary(const std::string& text, const Details& details) {
    std::string shown = text;
    if (!details.summary.empty()) {
        shown += "\n\n" + details.summary;
    }
    return wide(shown);
}

using TaskDialogIndirectCall = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// The task dialog of comctl32 version 6 (the program's manifest asks for it); null where
// the comctl32 loaded is an older one.
TaskDialogIndirectCall taskDialogIndirect() {
    const HMODULE comctl32 = ::GetModuleHandleW(L"comctl32.dll");
    if (comctl32 == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<TaskDialogIndirectCall>(
        reinterpret_cast<void*>(::GetProcAddress(comctl32, "TaskDialogIndirect")));
}

bool showTaskDialog(HWND owner, const std::wstring& content, const std::wstring& records) {
    const TaskDialogIndirectCall call = taskDialogIndirect();
    if (call == nullptr) {
        return false;
    }
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
    config.dwCommonButtons = TDCBF_OK_BUTTON;
    config.pszWindowTitle = kMessageCaption;
    config.pszMainIcon = TD_INFORMATION_ICON;
    config.pszContent = content.c_str();
    if (!records.empty()) {
        config.pszExpandedInformation = records.c_str();
        config.pszCollapsedControlText = kShowDetails;
        config.pszExpandedControlText = kHideDetails;
    }
    config.cxWidth = kDetailsBoxWidth;
    int button = 0;
    return SUCCEEDED(call(&config, &button, nullptr, nullptr));
}

} // namespace

void showInformation(HWND owner, const std::string& text, const Details& details) {
    if (details.empty()) {
        ::MessageBoxW(owner, wide(text).c_str(), kMessageCaption, MB_OK | MB_ICONINFORMATION);
        return;
    }
    const std::wstring content = withSummary(text, details);
    const std::wstring records = wide(shownDetails(details.text));
    if (showTaskDialog(owner, content, records)) {
        return;
    }
    std::wstring everything = content;
    if (!records.empty()) {
        everything += L"\n\n" + records;
    }
    ::MessageBoxW(owner, everything.c_str(), kMessageCaption, MB_OK | MB_ICONINFORMATION);
}

bool askYesNo(HWND owner, const std::string& text) {
    return ::MessageBoxW(owner, wide(text).c_str(), kMessageCaption,
                         MB_YESNO | MB_ICONINFORMATION) == IDYES;
}

std::wstring runningProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring applicationTitle(std::wstring_view programPath) {
    const std::size_t slash = programPath.find_last_of(L"\\/");
    std::wstring name(slash == std::wstring_view::npos ? programPath
                                                       : programPath.substr(slash + 1));
    name = name.substr(0, name.find(L'.'));
    if (name.size() > 1) {
        ::CharLowerBuffW(name.data() + 1, static_cast<DWORD>(name.size() - 1));
    }
    return name;
}

std::wstring errorReportText(std::wstring message) {
    if (!message.empty() && message.back() > L'.') {
        message += L'.';
    }
    return message;
}

void showErrorReport(HWND owner, const std::string& message) {
    ::MessageBoxW(owner, errorReportText(wide(message)).c_str(),
                  applicationTitle(runningProgramPath()).c_str(), MB_OK | MB_ICONSTOP);
}

void describeCurrentException(std::string& kind, std::string& message) {
    try {
        throw;
    } catch (const std::exception& error) {
        kind = errorKindName(error);
        message = error.what();
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        kind = "unknown";
        if (type != nullptr) {
            int status = 0;
            std::unique_ptr<char, decltype(&std::free)> readable(
                abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), &std::free);
            kind = status == 0 && readable ? readable.get() : type->name();
        }
        message = "Unknown error of kind " + kind;
    }
}

void reportCurrentException(HWND owner) {
    std::string kind;
    std::string message;
    describeCurrentException(kind, message);
    showErrorReport(owner, message);
}

std::wstring applicationErrorText(const std::string& kind, const std::string& message,
                                  std::wstring_view programPath) {
    const std::size_t slash = programPath.find_last_of(L"\\/");
    const std::wstring_view file =
        slash == std::wstring_view::npos ? programPath : programPath.substr(slash + 1);
    return L"Exception " + wide(kind) + L" in module " + std::wstring(file) + L".\n" +
           errorReportText(wide(message));
}

void showApplicationError(const std::string& kind, const std::string& message) {
    ::MessageBoxW(nullptr, applicationErrorText(kind, message, runningProgramPath()).c_str(),
                  L"Application Error", MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}

} // namespace pupdate::win
