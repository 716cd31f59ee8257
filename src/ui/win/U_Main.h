#pragma once
// The upgrade window of the Windows front end: the run's settings (server, database,
// installation folder and upgrade item), the item presets, the folder choice, and the
// person-facing side of the upgrade run (message boxes owned by the window, progress
// windows, the status bar).

#include "input_methods.h"
#include "paths.h"
#include "person.h"
#include "run_settings.h"
#include "upgrade_run.h"

#include <filesystem>
#include <memory>
#include <string>
#include <windows.h>

namespace pupdate::win {

inline constexpr const wchar_t* kDefaultInstallFolder = L"C:\\zeltinfo3.0";

// Database name and installation folder of one upgrade item.
struct UpgradeItemPreset {
    const wchar_t* item;
    const wchar_t* database;
    const wchar_t* installFolder;
};
// By index of E_type.
inline constexpr UpgradeItemPreset kUpgradeItemPresets[] = {
    {L"产品", L"zeltinfo", L"C:\\zeltinfo3.0"},
    {L"工资", L"zeltsalary", L"C:\\Salary\\Advanced"},
    {L"公登", L"zeltservant", L"C:\\Servant\\Advanced"},
};

class TFrm_Update : public Person {
public:
    // Builds the window, hidden, from the command line (FormCreate runs). The update
    // package is read from `programFolder`.
    explicit TFrm_Update(CommandLine commandLine,
                         std::filesystem::path programFolder = pupdate::programFolder());
    ~TFrm_Update() override;
    TFrm_Update(const TFrm_Update&) = delete;
    TFrm_Update& operator=(const TFrm_Update&) = delete;

    // Event handlers. Called by the window's messages through the general error report;
    // called directly, their errors escape.
    void FormCreate();
    void FormShow();
    void E_typeChange();
    void Button1Click();
    void Bt_CelClick();
    RunOutcome Bt_OkClick();
    // Server and database names must not be blank; the first problem is shown.
    bool CheckInput();

    // Shows the window (FormShow runs).
    void show();
    // The window has been closed: by Cancel, by a run, or by the platform's close
    // command. The program ends when control returns to the message loop.
    bool closed() const { return m_closed; }
    HWND handle() const { return m_window; }

    // Person: message boxes owned by this window, progress windows, the status bar (the
    // detail of a status is the tool tip of its panel).
    using Person::inform;
    using Person::setStatus;
    void inform(const std::string& text, const Details& details) override;
    bool confirm(const std::string& text) override;
    std::unique_ptr<Progress> openProgress() override;
    void setStatus(const std::string& text, const std::string& detail) override;
    void closeWindow() override;

    UpgradeRun& run() { return m_run; }

private:
    static INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void setUpControls();
    void command(int id, int notification);
    void fillSettings();
    HWND item(int id) const { return ::GetDlgItem(m_window, id); }
    std::wstring text(int id) const;
    // Puts a folder into E_Position, showing its beginning (the drive).
    void showFolder(const std::wstring& folder);

    CommandLine m_commandLine;
    UpgradeRun m_run;
    HWND m_window = nullptr;
    HWND m_statusTip = nullptr; // the tool tip of the status bar's second panel
    std::wstring m_statusDetail;
    InputMethods m_inputMethods;
    bool m_closed = false;
    bool m_running = false; // Bt_OkClick is under way
};

} // namespace pupdate::win
