#pragma once
// The progress window: one line of text over a bar, borderless and on top, shown while
// a script runs or the transaction commits. The engine blocks the user-interface thread
// while it works, so the window is repainted on request instead of by the event loop.

#include "bar_pacing.h"
#include "person.h"
#include "ui_progressBarFU.h"

#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>

namespace pupdate {

class TprogressBarF : public QWidget, public Ui::TprogressBarF {
    Q_OBJECT
public:
    // Created without an owner, hidden, centred on the screen.
    explicit TprogressBarF(QWidget* parent = nullptr);

    // Queues a request to minimise the window; it takes effect when events are next
    // processed (in practice at the next message box).
    void FormShow();
    // The event type of the queued minimise request.
    static QEvent::Type minimiseRequestType();

    // True when the window system has exposed the window, so that it can be painted.
    bool isExposed() const;
    // Lets Qt take the window system's pending events (above all the exposure of a
    // freshly shown window, before which nothing can be painted), leaving user input and
    // queued minimise requests for the next real event loop.
    void takeWindowSystemEvents();
    // Takes the window system's events until the window is exposed, for at most
    // `limitMs` milliseconds. True when it is.
    bool waitUntilExposed(int limitMs);
    // Shows the window and waits until it is exposed, which paints it.
    void showPainted();
    // Hides the window and has the application's other windows that it covered painted
    // again, so that no image of it stays on screen.
    void hideRevealing();

protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    static int s_minimiseHeld;
};

// The engine's progress indication in a TprogressBarF: shown and painted when created,
// before the engine goes on; hidden by close() or when released, with what it covered
// painted again; destroyed with the indication.
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
    // Paints at once what BarPacing says is due: the bar alone when only the bar grew.
    void repaint() override;
    // Hides the window; what it covered is painted again.
    void close() override;

    TprogressBarF& form() { return *m_form; }

private:
    template <typename Change> void tellBar(Change&& change);
    void tellBarPosition();

    std::unique_ptr<TprogressBarF> m_form;
    BarPacing m_pacing;
};

} // namespace pupdate
