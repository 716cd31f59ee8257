// Writes PNG pictures of the upgrade window (and, with --all, of a progress window, the
// confirmation box, the error report and the folder dialog) into a folder, as they are
// drawn on the running display. Used by scripts/screenshot.sh.

#include "U_Main.h"
#include "application_setup.h"
#include "progressBarFU.h"
#include "select_directory.h"
#include "upgrade_run.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <cstdio>
#include <cstring>

namespace {

void settle() {
    // Lets the display server map and expose the windows before they are captured.
    for (int round = 0; round < 20; ++round) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

bool save(QWidget& widget, const QDir& folder, const char* name) {
    const QString file = folder.filePath(QString::fromUtf8(name));
    const bool saved = widget.grab().save(file, "PNG");
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(file));
    return saved;
}

bool saveScreen(const QDir& folder, const char* name) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QString file = folder.filePath(QString::fromUtf8(name));
    const bool saved = screen != nullptr && screen->grabWindow(0).save(file, "PNG");
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(file));
    return saved;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output folder> [--all]\n", argv[0]);
        return 2;
    }
    const bool all = argc > 2 && std::strcmp(argv[2], "--all") == 0;
    pupdate::FrontEndApplication application(argc, argv);
    pupdate::setUpApplication(application, QStringLiteral("P_Update"));
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    bool ok = true;

    pupdate::TFrm_Update window{pupdate::CommandLine{}};
    window.show();
    window.setStatus(pupdate::text::kStatusDone);
    settle();
    ok &= save(window, folder, "upgrade_window.png");
    ok &= saveScreen(folder, "screen_window.png");
    if (!all) {
        return ok ? 0 : 1;
    }

    {
        pupdate::ProgressWindow progress;
        progress.setText(std::string(pupdate::text::kChecking) +
                         "/opt/zelt/update/Updatesql/销售数据.sql");
        progress.setMaximum(3);
        // As the engine drives it: no event loop runs, only the explicit repaints while
        // the statements take their time.
        for (int position = 0; position < 2; ++position) {
            progress.setPosition(position);
            progress.repaint();
            QThread::msleep(100);
        }
        ok &= saveScreen(folder, "screen_progress.png");
        ok &= save(progress.form(), folder, "progress_window.png");
    }

    QMessageBox confirmation(QMessageBox::Information, QString::fromUtf8(pupdate::kMessageCaption),
                             QString::fromUtf8(pupdate::text::kConfirmClosed),
                             QMessageBox::Yes | QMessageBox::No, &window);
    confirmation.show();
    settle();
    ok &= save(confirmation, folder, "message_box.png");
    ok &= saveScreen(folder, "screen_message_box.png");
    confirmation.hide();

    QMessageBox report(QMessageBox::Critical, QCoreApplication::applicationName(),
                       pupdate::errorReportText(QStringLiteral("对象名 'gs_ver' 无效")),
                       QMessageBox::Ok, &window);
    report.show();
    settle();
    ok &= save(report, folder, "error_report.png");
    report.hide();

    pupdate::SelectDirectoryDialog dialog(&window,
                                          QString::fromUtf8(pupdate::kDefaultInstallFolder));
    dialog.show();
    settle();
    ok &= save(dialog, folder, "select_directory.png");
    return ok ? 0 : 1;
}
