#pragma once
// The upgrade window: the run's settings (server, database, installation folder and
// upgrade item), the item presets, the folder choice, and the person-facing side of the
// upgrade run (message boxes owned by the window, progress windows, the status bar).

#include "paths.h"
#include "person.h"
#include "run_settings.h"
#include "ui_U_Main.h"
#include "upgrade_run.h"

#include <QWidget>
#include <filesystem>
#include <memory>
#include <string>

class QLabel;
class QMessageBox;

namespace pupdate {

inline constexpr const char* kMessageCaption = "系统提示";
inline constexpr const char* kDefaultInstallFolder = "C:\\zeltinfo3.0";

// Database name and installation folder of one upgrade item.
struct UpgradeItemPreset {
    const char* database;
    const char* installFolder;
};
// By index of E_type: "产品", "工资", "公登".
inline constexpr UpgradeItemPreset kUpgradeItemPresets[] = {
    {"zeltinfo", "C:\\zeltinfo3.0"},
    {"zeltsalary", "C:\\Salary\\Advanced"},
    {"zeltservant", "C:\\Servant\\Advanced"},
};

// Offers the details of a message in its box: the summary beneath the text, the full
// text behind the box's details button.
void offerDetails(QMessageBox& box, const Details& details);

class TFrm_Update : public QWidget, public Ui::TFrm_Update, public Person {
    Q_OBJECT
public:
    // Builds the window from the command line (FormCreate). The update package is read
    // from `programFolder`.
    explicit TFrm_Update(CommandLine commandLine,
                         std::filesystem::path programFolder = pupdate::programFolder(),
                         QWidget* parent = nullptr);
    ~TFrm_Update() override;

    // Event handlers. Called by the window's signals through the general error report;
    // called directly, their errors escape.
    void FormCreate();
    void FormShow();
    void E_typeChange();
    void Button1Click();
    void Bt_CelClick();
    RunOutcome Bt_OkClick();
    // Server and database names must not be blank; the first problem is shown.
    bool CheckInput();

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
    // True while Bt_OkClick runs (message boxes and progress windows process events then).
    bool inRun() const { return m_inRun; }
    const CommandLine& commandLine() const { return m_commandLine; }
    // Panel 0 or 1 of StatusBar1.
    QLabel* statusPanel(int index) const;

signals:
    // The window has closed; the program ends when control returns to the event loop.
    void windowClosed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void setUpStatusBar();
    void fillSettings();
    // Puts a folder into E_Position, showing its beginning (the drive or root).
    void showFolder(const QString& folder);

    CommandLine m_commandLine;
    UpgradeRun m_run;
    QLabel* m_statusPanels[2] = {nullptr, nullptr};
    bool m_inRun = false;
};

} // namespace pupdate
