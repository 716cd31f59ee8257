#include "window_front_end.h"

#include "U_Main.h"
#include "message_boxes.h"
#include "upgrade_run.h"

#include <memory>

namespace pupdate {

namespace {

// Takes messages until the upgrade window has closed. Tab and the arrow keys move
// between its controls.
void runMessageLoop(const win::TFrm_Update& window) {
    MSG message;
    while (!window.closed() && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!::IsDialogMessageW(window.handle(), &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

} // namespace

int runWindowsWindowFrontEnd(const CommandLine& commandLine) {
    std::unique_ptr<win::TFrm_Update> window;
    try {
        window = std::make_unique<win::TFrm_Update>(commandLine);
        if (!commandLine.unattended()) {
            window->show();
            runMessageLoop(*window);
            return 0;
        }
        // Unattended: the window is never shown; its message boxes and the progress
        // windows still appear.
        const RunOutcome outcome = window->Bt_OkClick();
        window.reset();
        return unattendedExitStatus(outcome);
    } catch (...) {
        std::string kind;
        std::string message;
        win::describeCurrentException(kind, message);
        window.reset();
        win::showApplicationError(kind, message);
        return 1;
    }
}

} // namespace pupdate
