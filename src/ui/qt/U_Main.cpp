#include "U_Main.h"

#include "application_setup.h"
#include "progressBarFU.h"
#include "select_directory.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QShowEvent>

namespace pupdate {

namespace {

constexpr int kStatusPanelWidth = 50;
constexpr int kDetailsBoxWidth = 420;

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

std::string toUtf8(const QString& text) {
    return text.toStdString();
}

} // namespace

TFrm_Update::TFrm_Update(CommandLine commandLine, std::filesystem::path programFolder,
                         QWidget* parent)
    : QWidget(parent), m_commandLine(std::move(commandLine)),
      m_run(*this, std::move(programFolder)) {
    setupUi(this);
    // A dialog frame: fixed size, no minimise or maximise buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(372, 165);
    QFont windowFont(QStringLiteral("MS Sans Serif"));
    windowFont.setPixelSize(11);
    setFont(windowFont);

    QPalette serverPalette = E_Server->palette();
    serverPalette.setColor(QPalette::Base, Qt::white);
    E_Server->setPalette(serverPalette);

    setUpStatusBar();

    // The list reacts only to the operator's choice, not to setting its index in code.
    connect(E_type, &QComboBox::activated, this,
            [this] { runReportingErrors(this, [this] { E_typeChange(); }); });
    connect(Button1, &QPushButton::clicked, this,
            [this] { runReportingErrors(this, [this] { Button1Click(); }); });
    connect(Bt_Ok, &QPushButton::clicked, this,
            [this] { runReportingErrors(this, [this] { Bt_OkClick(); }); });
    connect(Bt_Cel, &QPushButton::clicked, this,
            [this] { runReportingErrors(this, [this] { Bt_CelClick(); }); });

    FormCreate();
}

TFrm_Update::~TFrm_Update() = default;

void TFrm_Update::setUpStatusBar() {
    // Two panels of 50 pixels; the last one reaches to the right edge, as a status bar
    // draws its last panel.
    for (int index = 0; index < 2; ++index) {
        auto* panel = new QLabel(StatusBar1);
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(index));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        const int left = index * kStatusPanelWidth;
        const int width = index == 1 ? StatusBar1->width() - left : kStatusPanelWidth;
        panel->setGeometry(left, 2, width, StatusBar1->height() - 2);
        m_statusPanels[index] = panel;
    }
}

QLabel* TFrm_Update::statusPanel(int index) const {
    return m_statusPanels[index];
}

void TFrm_Update::FormCreate() {
    E_type->setCurrentIndex(0);
    if (m_commandLine.hasDatabase && m_commandLine.hasInstallFolder) {
        E_db->setText(fromUtf8(m_commandLine.database));
    }
    if (m_commandLine.hasInstallFolder) {
        showFolder(fromUtf8(m_commandLine.installFolder));
    }
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

void TFrm_Update::FormShow() {
    E_typeChange();
}

void TFrm_Update::E_typeChange() {
    const int index = E_type->currentIndex();
    if (index < 0 || index >= static_cast<int>(std::size(kUpgradeItemPresets))) {
        return;
    }
    E_db->setText(QString::fromUtf8(kUpgradeItemPresets[index].database));
    showFolder(QString::fromUtf8(kUpgradeItemPresets[index].installFolder));
}

void TFrm_Update::showFolder(const QString& folder) {
    E_Position->setText(folder);
    // setText leaves the cursor at the end, which scrolls a long path to its last
    // folder and hides the drive.
    E_Position->setCursorPosition(0);
}

void TFrm_Update::Button1Click() {
    if (m_commandLine.hasInstallFolder) {
        showFolder(fromUtf8(m_commandLine.installFolder));
        return;
    }
    QString chosen;
    if (!selectDirectory(this, QString::fromUtf8(kDefaultInstallFolder), chosen)) {
        return;
    }
    createFolderLevels(chosen);
    showFolder(chosen);
}

void TFrm_Update::Bt_CelClick() {
    close();
}

void TFrm_Update::fillSettings() {
    RunSettings& settings = m_run.settings();
    settings.server = toUtf8(E_Server->text());
    settings.database = toUtf8(E_db->text());
    settings.installFolder = toUtf8(E_Position->text());
}

RunOutcome TFrm_Update::Bt_OkClick() {
    // A new attempt: the reason the last one could not connect no longer holds.
    setStatus(std::string());
    fillSettings();
    m_inRun = true;
    struct Ended {
        bool& inRun;
        ~Ended() { inRun = false; }
    } ended{m_inRun};
    return m_run.Bt_OkClick();
}

bool TFrm_Update::CheckInput() {
    fillSettings();
    return m_run.CheckInput();
}

void offerDetails(QMessageBox& box, const Details& details) {
    if (details.empty()) {
        return;
    }
    if (!details.summary.empty()) {
        box.setInformativeText(fromUtf8(details.summary));
    }
    // The box's own button opens them; Qt's Chinese texts name it.
    if (!details.text.empty()) {
        box.setDetailedText(fromUtf8(details.text));
    }
    // A box with an informative text is made only as wide as its buttons, which folds
    // the account and the records into a narrow column; a spacer across the box's grid
    // (which each of the calls above builds anew) keeps them readable.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(
            new QSpacerItem(kDetailsBoxWidth, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
            grid->rowCount(), 0, 1, grid->columnCount());
    }
}

void TFrm_Update::inform(const std::string& text, const Details& details) {
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kMessageCaption), fromUtf8(text),
                    QMessageBox::Ok, this);
    offerDetails(box, details);
    box.exec();
}

bool TFrm_Update::confirm(const std::string& text) {
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kMessageCaption), fromUtf8(text),
                    QMessageBox::Yes | QMessageBox::No, this);
    return box.exec() == QMessageBox::Yes;
}

std::unique_ptr<Progress> TFrm_Update::openProgress() {
    return std::make_unique<ProgressWindow>();
}

void TFrm_Update::setStatus(const std::string& text, const std::string& detail) {
    m_statusPanels[1]->setText(fromUtf8(text));
    // Drivers indent the lines of their messages with tabs, which a tool tip spreads
    // far apart.
    m_statusPanels[1]->setToolTip(fromUtf8(detail).replace(QLatin1Char('\t'), QLatin1Char(' ')));
}

void TFrm_Update::closeWindow() {
    close();
}

void TFrm_Update::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        runReportingErrors(this, [this] { FormShow(); });
    }
}

void TFrm_Update::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (event->isAccepted()) {
        emit windowClosed();
    }
}

} // namespace pupdate
