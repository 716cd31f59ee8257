#include "input_methods.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <iterator>

namespace pupdate::win {

namespace {

// An input method's name as the control panel lists it: the "Layout Text" of its entry
// among the keyboard layouts, which is named by the layout handle in eight hex digits
// (E00E0804 for an input method of Simplified Chinese). Empty for a plain keyboard.
std::wstring layoutName(HKL layout) {
    wchar_t key[80];
    std::swprintf(key, std::size(key),
                  L"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\%08X",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(layout) & 0xFFFFFFFFu));
    wchar_t name[256];
    DWORD size = sizeof name;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, L"Layout Text", RRF_RT_REG_SZ, nullptr, name,
                       &size) != ERROR_SUCCESS) {
        return {};
    }
    return name;
}

} // namespace

InputMethods::InputMethods() {
    const int count = ::GetKeyboardLayoutList(0, nullptr);
    std::vector<HKL> layouts(static_cast<std::size_t>(std::max(count, 0)));
    layouts.resize(static_cast<std::size_t>(
        ::GetKeyboardLayoutList(static_cast<int>(layouts.size()), layouts.data())));
    for (HKL layout : layouts) {
        std::wstring name = layoutName(layout);
        if (!name.empty()) {
            m_installed.emplace_back(layout, std::move(name));
        }
    }
}

void InputMethods::enter(const wchar_t* name) {
    for (const auto& [layout, installedName] : m_installed) {
        if (installedName == name) {
            const HKL current = ::GetKeyboardLayout(0);
            if (layout != current && ::ActivateKeyboardLayout(layout, 0) != nullptr) {
                m_previous = current;
            }
            return;
        }
    }
}

void InputMethods::leave() {
    if (m_previous != nullptr) {
        ::ActivateKeyboardLayout(m_previous, 0);
        m_previous = nullptr;
    }
}

} // namespace pupdate::win
