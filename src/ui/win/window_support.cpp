#include "window_support.h"

#include <commctrl.h>
#include <map>
#include <set>
#include <string>

namespace pupdate::win {

void registerDialogClass(const wchar_t* name) {
    static std::set<std::wstring> registered;
    if (registered.empty()) {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES |
                                                           ICC_PROGRESS_CLASS |
                                                           ICC_TREEVIEW_CLASSES};
        ::InitCommonControlsEx(&controls);
    }
    if (!registered.insert(name).second) {
        return;
    }
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ::DefDlgProcW;
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = resourceModule();
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = name;
    ::RegisterClassExW(&windowClass);
}

HINSTANCE resourceModule() {
    return ::GetModuleHandleW(nullptr);
}

HFONT chineseFont(int pixelHeight) {
    static std::map<int, HFONT> fonts;
    HFONT& font = fonts[pixelHeight];
    if (font == nullptr) {
        font = ::CreateFontW(-pixelHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, L"宋体");
    }
    return font;
}

void placeControl(HWND dialog, int id, int x, int y, int width, int height) {
    ::SetWindowPos(::GetDlgItem(dialog, id), nullptr, x, y, width, height,
                   SWP_NOZORDER | SWP_NOACTIVATE);
}

void sizeAndCentre(HWND window, int width, int height) {
    RECT frame{0, 0, width, height};
    ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                         static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_EXSTYLE)));
    const int frameWidth = frame.right - frame.left;
    const int frameHeight = frame.bottom - frame.top;
    RECT area{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    ::SetWindowPos(window, nullptr, area.left + (area.right - area.left - frameWidth) / 2,
                   area.top + (area.bottom - area.top - frameHeight) / 2, frameWidth, frameHeight,
                   SWP_NOZORDER | SWP_NOACTIVATE);
}

void setFontOfControls(HWND dialog, HFONT font) {
    for (HWND control = ::GetWindow(dialog, GW_CHILD); control != nullptr;
         control = ::GetWindow(control, GW_HWNDNEXT)) {
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
}

} // namespace pupdate::win
