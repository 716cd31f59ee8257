#include "select_directory.h"

#include "control_ids.h"
#include "wide_text.h"
#include "window_support.h"

#include <algorithm>
#include <commctrl.h>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace pupdate::win {

namespace {

// lParam of a tree item: whether its sub-folders have been listed.
constexpr LPARAM kNotListed = 0;
constexpr LPARAM kListed = 1;

bool isFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The folders in `folder` that a person sees there (no hidden ones), sorted by name
// without regard to letter case.
std::vector<std::wstring> subFolders(const std::wstring& folder) {
    std::vector<std::wstring> names;
    std::wstring pattern = folder;
    if (pattern.empty() || pattern.back() != L'\\') {
        pattern += L'\\';
    }
    pattern += L'*';
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                             FindExSearchLimitToDirectories, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (found.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) == 0 && name != L"." &&
            name != L"..") {
            names.push_back(name);
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        return ::lstrcmpiW(a.c_str(), b.c_str()) < 0;
    });
    return names;
}

class SelectDirectoryDialog {
public:
    explicit SelectDirectoryDialog(std::wstring startFolder)
        : m_startFolder(std::move(startFolder)) {}

    bool run(HWND owner) {
        return ::DialogBoxParamW(resourceModule(), MAKEINTRESOURCEW(IDD_SelectDirectory), owner,
                                 procedure, reinterpret_cast<LPARAM>(this)) == IDOK;
    }

    std::wstring chosen;

private:
    static INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        }
        auto* self =
            reinterpret_cast<SelectDirectoryDialog*>(::GetWindowLongPtrW(dialog, DWLP_USER));
        return self != nullptr ? self->handle(dialog, message, wParam, lParam) : FALSE;
    }

    INT_PTR handle(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
        case WM_INITDIALOG:
            m_dialog = dialog;
            m_tree = ::GetDlgItem(dialog, DirectoryTree);
            addDrives();
            open(isFolder(m_startFolder) ? m_startFolder : currentFolder());
            return TRUE;
        case WM_NOTIFY:
            notified(*reinterpret_cast<const NMHDR*>(lParam));
            return FALSE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
            case IDOK:
                accept();
                return TRUE;
            case IDCANCEL:
                ::EndDialog(dialog, IDCANCEL);
                return TRUE;
            case IDHELP:
                // Help topic kSelectDirectoryHelpContext of no help file: nothing to show.
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
        }
    }

    void notified(const NMHDR& header) {
        if (header.idFrom != DirectoryTree) {
            return;
        }
        const auto& change = reinterpret_cast<const NMTREEVIEWW&>(header);
        if (header.code == TVN_ITEMEXPANDINGW && (change.action & TVE_EXPAND) != 0) {
            listSubFolders(change.itemNew.hItem);
        } else if (header.code == TVN_SELCHANGEDW && change.itemNew.hItem != nullptr) {
            ::SetDlgItemTextW(m_dialog, DirectoryEdit, path(change.itemNew.hItem).c_str());
        }
    }

    static std::wstring currentFolder() {
        std::wstring folder(::GetCurrentDirectoryW(0, nullptr), L'\0');
        folder.resize(::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
        return folder;
    }

    HTREEITEM insert(HTREEITEM parent, const std::wstring& name) {
        TVINSERTSTRUCTW insertion{};
        insertion.hParent = parent;
        insertion.hInsertAfter = TVI_LAST;
        insertion.item.mask = TVIF_TEXT | TVIF_CHILDREN | TVIF_PARAM;
        insertion.item.pszText = const_cast<wchar_t*>(name.c_str());
        insertion.item.cChildren = 1; // a button until it is opened and found empty
        insertion.item.lParam = kNotListed;
        return reinterpret_cast<HTREEITEM>(
            ::SendMessageW(m_tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insertion)));
    }

    void addDrives() {
        const DWORD drives = ::GetLogicalDrives();
        for (int letter = 0; letter < 26; ++letter) {
            if ((drives & (1u << letter)) != 0) {
                insert(TVI_ROOT, std::wstring{static_cast<wchar_t>(L'A' + letter), L':'});
            }
        }
    }

    std::wstring text(HTREEITEM item) const {
        wchar_t buffer[MAX_PATH];
        TVITEMW data{};
        data.mask = TVIF_TEXT;
        data.hItem = item;
        data.pszText = buffer;
        data.cchTextMax = MAX_PATH;
        buffer[0] = L'\0';
        ::SendMessageW(m_tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
        return buffer;
    }

    HTREEITEM next(HTREEITEM item, WPARAM relation) const {
        return reinterpret_cast<HTREEITEM>(
            ::SendMessageW(m_tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
    }

    // The full name of a tree item: its drive, then the folders down to it.
    std::wstring path(HTREEITEM item) const {
        std::deque<std::wstring> names;
        for (; item != nullptr; item = next(item, TVGN_PARENT)) {
            names.push_front(text(item));
        }
        std::wstring full = names.front() + L'\\';
        for (std::size_t at = 1; at < names.size(); ++at) {
            full += (at > 1 ? L"\\" : L"") + names[at];
        }
        return full;
    }

    void listSubFolders(HTREEITEM item) {
        TVITEMW data{};
        data.mask = TVIF_PARAM | TVIF_HANDLE;
        data.hItem = item;
        ::SendMessageW(m_tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
        if (data.lParam == kListed) {
            return;
        }
        const std::vector<std::wstring> names = subFolders(path(item));
        for (const std::wstring& name : names) {
            insert(item, name);
        }
        data.mask = TVIF_PARAM | TVIF_CHILDREN | TVIF_HANDLE;
        data.lParam = kListed;
        data.cChildren = names.empty() ? 0 : 1;
        ::SendMessageW(m_tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&data));
    }

    HTREEITEM childNamed(HTREEITEM parent, const std::wstring& name) const {
        for (HTREEITEM child = next(parent, parent == TVI_ROOT ? TVGN_ROOT : TVGN_CHILD);
             child != nullptr; child = next(child, TVGN_NEXT)) {
            if (::lstrcmpiW(text(child).c_str(), name.c_str()) == 0) {
                return child;
            }
        }
        return nullptr;
    }

    // Puts the folder into the name field and opens the tree at it: its branch expanded,
    // the folder selected and in view.
    void open(const std::wstring& folder) {
        ::SetDlgItemTextW(m_dialog, DirectoryEdit, folder.c_str());
        std::wstring full(::GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr), L'\0');
        full.resize(::GetFullPathNameW(folder.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                       nullptr));
        if (full.size() < 2 || full[1] != L':') {
            return; // a name without a drive letter is not in the tree
        }
        HTREEITEM item = childNamed(TVI_ROOT, full.substr(0, 2));
        for (std::size_t at = 3; item != nullptr && at < full.size();) {
            const std::size_t end = std::min(full.find(L'\\', at), full.size());
            if (end > at) {
                listSubFolders(item);
                HTREEITEM child = childNamed(item, full.substr(at, end - at));
                if (child == nullptr) {
                    break;
                }
                item = child;
            }
            at = end + 1;
        }
        if (item == nullptr) {
            return;
        }
        ::SendMessageW(m_tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
        ::SendMessageW(m_tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
        ::SendMessageW(m_tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item));
    }

    // OK: a folder that does not exist is accepted only after Yes to the question.
    void accept() {
        const std::wstring name = windowText(::GetDlgItem(m_dialog, DirectoryEdit));
        if (!isFolder(name) && ::MessageBoxW(m_dialog, kConfirmCreateFolder, L"Confirm",
                                             MB_YESNO | MB_ICONQUESTION) != IDYES) {
            return;
        }
        chosen = name;
        ::EndDialog(m_dialog, IDOK);
    }

    std::wstring m_startFolder;
    HWND m_dialog = nullptr;
    HWND m_tree = nullptr;
};

} // namespace

bool selectDirectory(HWND owner, const std::wstring& startFolder, std::wstring& chosen) {
    SelectDirectoryDialog dialog(startFolder);
    if (!dialog.run(owner)) {
        return false;
    }
    chosen = dialog.chosen;
    return true;
}

void createFolderLevels(const std::wstring& folder) {
    if (isFolder(folder)) {
        return;
    }
    const std::filesystem::path path(folder);
    if (folder.empty() || !path.is_absolute()) {
        throw std::runtime_error("Unable to create directory");
    }
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

} // namespace pupdate::win
