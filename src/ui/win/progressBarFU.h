#pragma once
// The progress window: one line of text over a bar, borderless and on top, shown while a
// script runs or the transaction commits. The engine blocks the window thread while it
// works, so the window is painted on request instead of by the message loop.

#include "bar_pacing.h"
#include "person.h"

#include <cstdint>
#include <memory>
#include <windows.h>

namespace pupdate::win {

class TprogressBarF {
public:
    // Created hidden, without an owner, centred on the screen.
    TprogressBarF();
    ~TprogressBarF();
    TprogressBarF(const TprogressBarF&) = delete;
    TprogressBarF& operator=(const TprogressBarF&) = delete;

    // Posts a request to minimise the window; it takes effect when messages are next
    // dispatched (in practice at the next message box).
    void FormShow();
    // Shows the window (FormShow runs) and paints it at once.
    void show();
    // Hides the window and paints at once what it uncovered of this thread's windows.
    void hide();

    HWND handle() const { return m_window; }
    HWND label() const;
    HWND bar() const;

private:
    static INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    HWND m_window = nullptr;
};

// The engine's progress indication in a TprogressBarF: shown and painted when created;
// hidden by close() or when released, with what it covered painted again.
class ProgressWindow : public Progress {
public:
    ProgressWindow();
    ~ProgressWindow() override;
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    void setText(const std::string& text) override;
    void setMaximum(std::int64_t maximum) override;
    // Positions outside 0..maximum are held at the nearest end, as the bar draws them.
    // The bar takes the position when it is next painted (or the window closed).
    void setPosition(std::int64_t position) override;
    void setBarVisible(bool visible) override;
    // Paints at once what BarPacing says is due. Each paint also answers the calls that
    // other programs are waiting on (a screen reader asking for the text), so that the
    // window does not count as hung.
    void repaint() override;
    // Hides the window; what it covered is painted again.
    void close() override;

    TprogressBarF& form() { return *m_form; }

private:
    void tellBarPosition();

    std::unique_ptr<TprogressBarF> m_form;
    BarPacing m_pacing;
};

// Handles the calls that other threads and programs have sent to this thread's windows
// and lets the window system deliver its news (the parts of a window to draw again),
// without taking any posted message or input from the queue.
void answerWaitingCalls();

} // namespace pupdate::win
