#include "window_front_end.h"

#include "U_Main.h"
#include "application_setup.h"
#include "interruption.h"
#include "upgrade_run.h"

#include <QTimer>
#include <memory>

namespace pupdate {

namespace {

constexpr int kInterruptionPollMs = 200;

} // namespace

int runWindowFrontEnd(int& argc, char** argv, const CommandLine& commandLine) {
    const QString programPath = QString::fromLocal8Bit(argc > 0 ? argv[0] : "");
    FrontEndApplication application(argc, argv);
    setUpApplication(application, programPath);
    // The program ends when the upgrade window closes, not when the last window of any
    // kind does: message boxes and progress windows come and go while it is hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    // A request to stop (SIGTERM, SIGINT, SIGHUP) ends a run at its next statement or file,
    // rolled back and logged, instead of ending the process in the middle of it.
    watchForInterruption();

    if (!commandLine.unattended()) {
        TFrm_Update window(commandLine);
        QObject::connect(&window, &TFrm_Update::windowClosed, &application, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        // With no run going on, a request to stop closes the window, which ends the
        // program; a run answers it itself and then closes the window.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &window, [&window] {
            if (interruptionRequested() && !window.inRun()) {
                window.close();
            }
        });
        watch.start(kInterruptionPollMs);
        window.show();
        QApplication::exec();
        return 0;
    }

    // Unattended: the window is created but never shown; its message boxes and the
    // progress windows still appear.
    auto window = std::make_unique<TFrm_Update>(commandLine);
    try {
        const RunOutcome outcome = window->Bt_OkClick();
        window.reset();
        return unattendedExitStatus(outcome);
    } catch (...) {
        QString kind;
        QString message;
        describeCurrentException(kind, message);
        window.reset();
        showApplicationError(kind, message, programPath);
        return 1;
    }
}

} // namespace pupdate
