#include "U_Main.h"

#include "control_ids.h"
#include "message_boxes.h"
#include "progressBarFU.h"
#include "select_directory.h"
#include "wide_text.h"
#include "window_support.h"

#include <algorithm>
#include <commctrl.h>
#include <stdexcept>

namespace pupdate::win {

namespace {

constexpr int kClientWidth = 372;
constexpr int kClientHeight = 165;
constexpr int kFontPixels = 11;
constexpr int kStatusHeight = 22;
constexpr int kStatusPanelWidth = 50;
constexpr int kTypeListHeight = 80; // the drop-down part of E_type below its field
constexpr int kStatusTipWidth = 420;

// A dialog places every control in its own client area; the controls framed by GroupBox1
// and GroupBox2 are placed from the frame's corner.
constexpr int kBox1Left = 8;
constexpr int kBox1Top = 1;
constexpr int kBox2Left = 8;
constexpr int kBox2Top = 93;

struct Placement {
    int id;
    int left, top, width, height;
};
constexpr Placement kPlacements[] = {
    {GroupBox1, kBox1Left, kBox1Top, 353, 89},
    {Label4, kBox1Left + 16, kBox1Top + 21, 56, 13},
    {E_type, kBox1Left + 77, kBox1Top + 18, 85, 21 + kTypeListHeight},
    {Label3, kBox1Left + 177, kBox1Top + 23, 65, 13},
    {E_Position, kBox1Left + 238, kBox1Top + 18, 85, 21},
    {Button1, kBox1Left + 326, kBox1Top + 18, 17, 20},
    {Label1, kBox1Left + 17, kBox1Top + 55, 63, 13},
    {E_Server, kBox1Left + 78, kBox1Top + 51, 85, 21},
    {Label2, kBox1Left + 177, kBox1Top + 54, 63, 13},
    {E_db, kBox1Left + 239, kBox1Top + 51, 85, 21},
    {GroupBox2, kBox2Left, kBox2Top, 153, 48},
    {IsAccess, kBox2Left + 6, kBox2Top + 21, 65, 17},
    {IsSqlserver, kBox2Left + 79, kBox2Top + 22, 69, 17},
    {Bt_Ok, 186, 115, 65, 23},
    {Bt_Cel, 290, 115, 65, 23},
    {StatusBar1, 0, kClientHeight - kStatusHeight, kClientWidth, kStatusHeight},
};

// A drop-down list is as high as its field plus its list; its field is as high as the
// height of its items makes it, with a frame that differs between versions of the control.
// Sets the field to `height` pixels.
void setFieldHeight(HWND list, int height) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        RECT field;
        ::GetWindowRect(list, &field);
        const int difference = height - static_cast<int>(field.bottom - field.top);
        const auto itemHeight = static_cast<int>(::SendMessageW(list, CB_GETITEMHEIGHT, -1, 0));
        if (difference == 0 || itemHeight + difference <= 0) {
            return;
        }
        ::SendMessageW(list, CB_SETITEMHEIGHT, -1, itemHeight + difference);
    }
}

} // namespace

TFrm_Update::TFrm_Update(CommandLine commandLine, std::filesystem::path programFolder)
    : m_commandLine(std::move(commandLine)), m_run(*this, std::move(programFolder)) {
    registerDialogClass(L"TFrm_Update");
    m_window = ::CreateDialogParamW(resourceModule(), MAKEINTRESOURCEW(IDD_TFrm_Update), nullptr,
                                    dialogProcedure, reinterpret_cast<LPARAM>(this));
    if (m_window == nullptr) {
        throw std::runtime_error("无法创建升级窗口");
    }
    FormCreate();
}

TFrm_Update::~TFrm_Update() {
    ::DestroyWindow(m_window);
}

INT_PTR CALLBACK TFrm_Update::dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<TFrm_Update*>(lParam)->m_window = window;
    }
    auto* self = reinterpret_cast<TFrm_Update*>(::GetWindowLongPtrW(window, DWLP_USER));
    return self != nullptr ? self->handleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR TFrm_Update::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        setUpControls();
        return TRUE; // the focus goes to the first control in the tab order, E_Server
    case WM_SHOWWINDOW:
        // Shown by a call of ShowWindow, not uncovered or restored.
        if (wParam != FALSE && lParam == 0) {
            runReportingErrors(m_window, [this] { FormShow(); });
        }
        return FALSE;
    case WM_COMMAND:
        command(LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_CLOSE:
        closeWindow();
        return TRUE;
    default:
        return FALSE;
    }
}

void TFrm_Update::setUpControls() {
    setFontOfControls(m_window, chineseFont(kFontPixels));
    for (const Placement& placement : kPlacements) {
        placeControl(m_window, placement.id, placement.left, placement.top, placement.width,
                     placement.height);
    }

    const HWND type = item(E_type);
    for (const UpgradeItemPreset& preset : kUpgradeItemPresets) {
        ::SendMessageW(type, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(preset.item));
    }
    setFieldHeight(type, 21);
    ::SetDlgItemTextW(m_window, E_Position, kDefaultInstallFolder);
    // E_Server has a white background, as every edit field has here.
    ::SetDlgItemTextW(m_window, E_Server, L"(local)");
    ::CheckDlgButton(m_window, IsAccess, BST_UNCHECKED);
    ::CheckDlgButton(m_window, IsSqlserver, BST_CHECKED);

    // Two panels of 50 pixels; the last reaches to the right edge, as a status bar draws
    // its last panel.
    const HWND status = item(StatusBar1);
    int edges[] = {kStatusPanelWidth, -1};
    ::SendMessageW(status, SB_SETPARTS, std::size(edges), reinterpret_cast<LPARAM>(edges));

    // The tool tip of the second panel carries the detail of its status.
    m_statusTip = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                    WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_window, nullptr,
                                    resourceModule(), nullptr);
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = status;
    tool.uId = 1;
    ::SendMessageW(status, SB_GETRECT, 1, reinterpret_cast<LPARAM>(&tool.rect));
    tool.lpszText = const_cast<wchar_t*>(L"");
    ::SendMessageW(m_statusTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    ::SendMessageW(m_statusTip, TTM_SETMAXTIPWIDTH, 0, kStatusTipWidth);
}

void TFrm_Update::command(int id, int notification) {
    if (m_running && (id == Bt_Ok || id == Bt_Cel || id == Button1)) {
        // A click that reaches a button through the loop of one of the run's message
        // boxes (posted by another program; the operator cannot click the disabled
        // window) must not start a second run on the same connections.
        return;
    }
    switch (id) {
    case Bt_Ok:
        if (notification == BN_CLICKED) {
            runReportingErrors(m_window, [this] { Bt_OkClick(); });
        }
        break;
    case Bt_Cel:
        if (notification == BN_CLICKED) {
            runReportingErrors(m_window, [this] { Bt_CelClick(); });
        }
        break;
    case Button1:
        if (notification == BN_CLICKED) {
            runReportingErrors(m_window, [this] { Button1Click(); });
        }
        break;
    case E_type:
        // Only the operator's choice notifies; setting the index in code does not.
        if (notification == CBN_SELCHANGE) {
            runReportingErrors(m_window, [this] { E_typeChange(); });
        } else if (notification == CBN_SETFOCUS) {
            m_inputMethods.enter(kMicrosoftPinyin);
        } else if (notification == CBN_KILLFOCUS) {
            m_inputMethods.leave();
        }
        break;
    case E_Server:
    case E_Position:
    case E_db:
        if (notification == EN_SETFOCUS) {
            m_inputMethods.enter(id == E_db ? kQuanpin : kMicrosoftPinyin);
        } else if (notification == EN_KILLFOCUS) {
            m_inputMethods.leave();
        }
        break;
    default:
        // Enter and Esc (IDOK, IDCANCEL) do nothing: the window has no default and no
        // cancel button.
        break;
    }
}

std::wstring TFrm_Update::text(int id) const {
    return windowText(item(id));
}

void TFrm_Update::FormCreate() {
    ::SendMessageW(item(E_type), CB_SETCURSEL, 0, 0);
    if (m_commandLine.hasDatabase && m_commandLine.hasInstallFolder) {
        ::SetDlgItemTextW(m_window, E_db, wide(m_commandLine.database).c_str());
    }
    if (m_commandLine.hasInstallFolder) {
        showFolder(wide(m_commandLine.installFolder));
    }
    sizeAndCentre(m_window, kClientWidth, kClientHeight);
}

void TFrm_Update::show() {
    ::ShowWindow(m_window, SW_SHOW);
}

void TFrm_Update::FormShow() {
    E_typeChange();
}

void TFrm_Update::E_typeChange() {
    const auto index = static_cast<int>(::SendMessageW(item(E_type), CB_GETCURSEL, 0, 0));
    if (index < 0 || index >= static_cast<int>(std::size(kUpgradeItemPresets))) {
        return;
    }
    ::SetDlgItemTextW(m_window, E_db, kUpgradeItemPresets[index].database);
    showFolder(kUpgradeItemPresets[index].installFolder);
}

void TFrm_Update::showFolder(const std::wstring& folder) {
    ::SetDlgItemTextW(m_window, E_Position, folder.c_str());
    ::SendMessageW(item(E_Position), EM_SETSEL, 0, 0);
}

void TFrm_Update::Button1Click() {
    if (m_commandLine.hasInstallFolder) {
        showFolder(wide(m_commandLine.installFolder));
        return;
    }
    std::wstring chosen;
    if (!selectDirectory(m_window, kDefaultInstallFolder, chosen)) {
        return;
    }
    createFolderLevels(chosen);
    showFolder(chosen);
}

void TFrm_Update::Bt_CelClick() {
    closeWindow();
}

void TFrm_Update::fillSettings() {
    RunSettings& settings = m_run.settings();
    settings.server = narrow(text(E_Server));
    settings.database = narrow(text(E_db));
    settings.installFolder = narrow(text(E_Position));
}

RunOutcome TFrm_Update::Bt_OkClick() {
    // A new attempt: the reason the last one could not connect no longer holds.
    setStatus(std::string());
    fillSettings();
    struct Running {
        bool& flag;
        ~Running() { flag = false; }
    } running{m_running = true};
    return m_run.Bt_OkClick();
}

bool TFrm_Update::CheckInput() {
    fillSettings();
    return m_run.CheckInput();
}

void TFrm_Update::inform(const std::string& text, const Details& details) {
    showInformation(m_window, text, details);
}

bool TFrm_Update::confirm(const std::string& text) {
    return askYesNo(m_window, text);
}

std::unique_ptr<Progress> TFrm_Update::openProgress() {
    return std::make_unique<ProgressWindow>();
}

void TFrm_Update::setStatus(const std::string& text, const std::string& detail) {
    const std::wstring panel = wide(text);
    ::SendMessageW(item(StatusBar1), SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(panel.c_str()));
    // Drivers indent the lines of their messages with tabs, which a tool tip spreads far
    // apart.
    m_statusDetail = wide(detail);
    std::replace(m_statusDetail.begin(), m_statusDetail.end(), L'\t', L' ');
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = item(StatusBar1);
    tool.uId = 1;
    tool.lpszText = m_statusDetail.data();
    ::SendMessageW(m_statusTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void TFrm_Update::closeWindow() {
    m_closed = true;
    ::ShowWindow(m_window, SW_HIDE);
}

} // namespace pupdate::win
