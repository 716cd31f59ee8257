#pragma once
// The folder-selection dialog ("Select Directory") of the upgrade window's "..." button:
// the operator picks a folder from the tree of drives and folders or types a name; a
// folder that does not exist is accepted only after the operator agreed to create it.
// The stock pickers of Windows cannot ask that question: they refuse such a name, or
// take no typed name at all.

#include <string>
#include <windows.h>

namespace pupdate::win {

inline constexpr const wchar_t* kSelectDirectoryCaption = L"Select Directory";
inline constexpr const wchar_t* kConfirmCreateFolder =
    L"The specified directory does not exist. Create it?";
// The help topic of the dialog's Help button; no help file is set, so it shows nothing.
inline constexpr int kSelectDirectoryHelpContext = 1000;

// Runs the dialog owned by `owner`, opened at `startFolder`, or at the process's current
// folder when that is no folder. True when it closed with OK, with the name as the
// operator left it in `chosen`.
bool selectDirectory(HWND owner, const std::wstring& startFolder, std::wstring& chosen);

// Creates every missing level of an accepted folder. A folder that cannot be created is
// not reported; an empty or relative name that does not exist raises std::runtime_error.
void createFolderLevels(const std::wstring& folder);

} // namespace pupdate::win
