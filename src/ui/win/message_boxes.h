#pragma once
// The Windows window's boxes: the run's messages captioned "系统提示" with the information
// icon (details behind a button), the Yes/No question, the general error report of an
// event handler and the process-level "Application Error" box.

#include "person.h"

#include <string>
#include <string_view>
#include <windows.h>

namespace pupdate::win {

inline constexpr const wchar_t* kMessageCaption = L"系统提示";

// A message with an OK button owned by `owner`. With details, the summary stands beneath
// the text and the records behind the box's 显示详情... button (a task dialog, where
// comctl32 offers one; otherwise everything in a plain message box).
void showInformation(HWND owner, const std::string& text, const Details& details);
// The same box with Yes and No; true only for Yes.
bool askYesNo(HWND owner, const std::string& text);

// The full path of the running program.
std::wstring runningProgramPath();
// The application's title: the program file's name up to its first full stop, every
// letter after the first in lower case ("C:\zelt\P_Update.exe" gives "P_update").
std::wstring applicationTitle(std::wstring_view programPath);
// The text of the general error report: the message with a full stop appended when its
// last character sorts after the full stop.
std::wstring errorReportText(std::wstring message);
// The general error report: the stop icon, captioned with the application's title, owned
// by `owner`. The program goes on afterwards.
void showErrorReport(HWND owner, const std::string& message);

// Kind and message (UTF-8) of the exception being handled. Call only inside a catch block.
void describeCurrentException(std::string& kind, std::string& message);
// Shows the general error report for the exception being handled. Call only inside a
// catch block.
void reportCurrentException(HWND owner);
// Runs an event handler; an error escaping it goes to the general error report, never
// into the window procedure's caller.
template <typename Handler> void runReportingErrors(HWND owner, Handler&& handler) {
    try {
        handler();
    } catch (...) {
        reportCurrentException(owner);
    }
}

// The text of the process-level report for an error that escaped the unattended run.
std::wstring applicationErrorText(const std::string& kind, const std::string& message,
                                  std::wstring_view programPath);
// That report: the task-modal "Application Error" box with the stop icon.
void showApplicationError(const std::string& kind, const std::string& message);

} // namespace pupdate::win
