#pragma once
// The window program P_Update.exe started from an update package and driven from this
// program, a second process, as an operator drives it: its windows are found by class,
// caption and control id among the windows of its process, texts are read with
// WM_GETTEXT (or from its memory, for the controls whose texts Windows does not carry
// between processes), and buttons are clicked by posting BM_CLICK, since a sent click
// would wait as long as the modal box it opens.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <windows.h>

namespace pupdate::testing {

using namespace std::chrono_literals;

class WindowProgram {
public:
    // Copies P_Update.exe into `package` and starts it there, in that folder, with
    // `arguments` (UTF-8) and P_UPDATE_ODBC set to `odbcTemplate`.
    WindowProgram(const std::filesystem::path& package, const std::vector<std::string>& arguments,
                  const std::string& odbcTemplate);
    // Ends the program if it is still running.
    ~WindowProgram();
    WindowProgram(const WindowProgram&) = delete;
    WindowProgram& operator=(const WindowProgram&) = delete;

    // A visible top-level window of the program of this class ("#32770" for a message
    // box) and caption; null when none came within `limit`.
    HWND waitForWindow(const wchar_t* className, const std::wstring& caption,
                       std::chrono::milliseconds limit = 20s) const;
    // Any top-level window of the program of this class, visible or not; null when none.
    HWND findWindow(const wchar_t* className, bool visibleOnly = true) const;
    // The exit status; -1 when the program did not end within `limit`.
    int waitForExit(std::chrono::milliseconds limit = 30s);
    bool running() const;

    // Text of part `part` of a status bar of the program (UTF-8).
    std::string statusText(HWND statusBar, int part) const;
    // Text of the tool tip of the tool `id` of `owner`, among the program's tool tips.
    std::string toolTipText(HWND owner, UINT_PTR id) const;

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// Waits until `condition` holds; false when it did not within `limit`.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s);

// The text of a window or control of the program (UTF-8).
std::string textOf(HWND window);
void setText(HWND window, const std::string& text);
// Posts a click: the program takes it when it next takes messages.
void click(HWND button);
// Picks an item of a drop-down list as the operator does: the list's selection moves and
// the window is told of the change.
void pick(HWND list, int index);
// The texts of every control of a window, in their order.
std::vector<std::string> controlTexts(HWND window);
// A control of the window whose text is `text`; null when none.
HWND controlWithText(HWND window, const std::string& text);
// Client size, and a control's place in its window's client area.
SIZE clientSize(HWND window);
RECT placeOf(HWND control);

// Under scripts/screenshot.sh --windows: a picture of the screen at this moment, named
// `name`.png; nothing otherwise.
void capture(const char* name);
// True under scripts/screenshot.sh --windows.
bool capturing();

} // namespace pupdate::testing
