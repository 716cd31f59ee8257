// Writes PNG pictures of the upgrade window (and, with --all, of a progress window, the
// commit window while the commit holds the thread, the confirmation box, the outcome box
// with its details opened, the status after a refused connection, the error report and
// the folder dialog) into a folder, as they are drawn on the running display. The
// screen_*.png pictures are read back from the display itself, so they show what a
// person would see at that moment. Used by scripts/screenshot.sh.

#include "U_Main.h"
#include "application_setup.h"
#include "progressBarFU.h"
#include "select_directory.h"
#include "upgrade_run.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QToolTip>
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

    {
        // The commit as the engine drives it: text set, bar hidden, one repaint, then the
        // commit holds the thread and no event is processed until it returns.
        pupdate::ProgressWindow commit;
        // Fresh: painted before the engine goes on, with no event processed since.
        ok &= saveScreen(folder, "screen_new_progress.png");
        commit.setText(pupdate::text::kCommitting);
        commit.setBarVisible(false);
        commit.repaint();
        QThread::msleep(300);
        ok &= saveScreen(folder, "screen_commit.png");
        commit.setText(pupdate::text::kCommitted);
        commit.repaint();
        QThread::msleep(100);
        ok &= saveScreen(folder, "screen_committed.png");
    }
    // Released while the engine still holds the thread: what it covered is painted.
    QThread::msleep(300);
    ok &= saveScreen(folder, "screen_after_commit.png");

    // The outcome of a run that logged records, with the details opened.
    pupdate::RunRecords records;
    {
        const pupdate::RunRecords::Step statements(records, pupdate::LogRecordKind::Statement);
        records.add("[SQLite]no such table: 员工档案_旧 (1)\r\n"
                    "insert into 员工档案_旧 select * from 员工档案\r\n");
        records.add("[SQLite]table gz_item has no column named 绩效系数 (1)\r\n"
                    "update gz_item set 绩效系数 = 1.0 where itemid = 12\r\n");
    }
    {
        const pupdate::RunRecords::Step copying(records, pupdate::LogRecordKind::Copy);
        records.add("无法复制文件: 文件正在使用 [C:\\zeltinfo3.0\\bin\\zeltmain.exe]");
    }
    QMessageBox outcome(QMessageBox::Information, QString::fromUtf8(pupdate::kMessageCaption),
                        QString::fromUtf8(pupdate::text::kFinished), QMessageBox::Ok, &window);
    pupdate::offerDetails(outcome, records.details());
    outcome.show();
    settle();
    ok &= save(outcome, folder, "outcome_box.png");
    for (QAbstractButton* button : outcome.buttons()) {
        if (outcome.buttonRole(button) == QMessageBox::ActionRole) {
            button->click();
        }
    }
    settle();
    ok &= save(outcome, folder, "outcome_details.png");
    ok &= saveScreen(folder, "screen_outcome_details.png");
    outcome.hide();

    // A refused connection: the run stops without a box, the status says why and its
    // tool tip holds the driver's message. Port 1 on this machine takes no connection.
    window.E_type->setCurrentIndex(1);
    window.E_typeChange();
    window.run().setOdbcTemplate("Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=1;"
                                 "Database=%DATABASE%;UID=%USER%;PWD=%PASSWORD%");
    // Should a box appear after all, it must not hold the tool for ever.
    QTimer::singleShot(20000, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
    });
    window.Bt_OkClick();
    settle();
    ok &= save(window, folder, "status_connection_failed.png");
    QLabel* panel = window.statusPanel(1);
    QToolTip::showText(panel->mapToGlobal(QPoint(20, panel->height() / 2)), panel->toolTip(),
                       panel);
    settle();
    ok &= saveScreen(folder, "screen_connection_failed.png");
    QToolTip::hideText();

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
