#pragma once
// The input method a field asks for: while the field has the focus, the keyboard layout
// of that name is made the active one, where it is installed; when the focus leaves, the
// layout in use before comes back. Where none of that name is installed nothing changes.

#include <string>
#include <utility>
#include <vector>
#include <windows.h>

namespace pupdate::win {

inline constexpr const wchar_t* kMicrosoftPinyin = L"中文 (简体) - 微软拼音";
inline constexpr const wchar_t* kQuanpin = L"中文 (简体) - 全拼";

class InputMethods {
public:
    // Reads the installed input methods and their names once, as the window is made.
    InputMethods();

    // A field that asks for the input method `name` got the focus.
    void enter(const wchar_t* name);
    // That field lost the focus.
    void leave();

private:
    std::vector<std::pair<HKL, std::wstring>> m_installed;
    HKL m_previous = nullptr; // the layout before enter() switched, null when it did not
};

} // namespace pupdate::win
