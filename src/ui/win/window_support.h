#pragma once
// What the windows of the Windows front end share: their window classes, the common
// controls, fonts, and placing controls by pixels.

#include <windows.h>

namespace pupdate::win {

// Registers, once, a dialog window class (DefDlgProcW) of this name, which a dialog
// template names with CLASS: the window's class is its own name, as TFrm_Update and
// TprogressBarF. The common controls are set up with the first call.
void registerDialogClass(const wchar_t* name);

// The module that holds the dialog templates: the program itself.
HINSTANCE resourceModule();

// The window font as a Chinese Windows gives it for the windows' font names: 宋体
// (SimSun) in GB2312, `pixelHeight` pixels high. Made once per height and kept.
HFONT chineseFont(int pixelHeight);

// Gives a control of `dialog` its place in pixels of the dialog's client area. A dialog
// template places controls in dialog units, which depend on the font; the windows are
// laid out in pixels.
void placeControl(HWND dialog, int id, int x, int y, int width, int height);
// Sets the client area of a window to `width` x `height` pixels and centres the window
// in the screen's work area.
void sizeAndCentre(HWND window, int width, int height);
// Sets `font` on every control of `dialog`.
void setFontOfControls(HWND dialog, HFONT font);

} // namespace pupdate::win
