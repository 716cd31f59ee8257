#pragma once
// The progress window: one line of text over a bar, borderless and on top, shown while
// a script runs or the transaction commits. The engine blocks the user-interface thread
// while it works, so the window is repainted on request instead of by the event loop.

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

protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    static int s_minimiseHeld;
};

// The engine's progress indication in a TprogressBarF: shown when created, hidden by
// close(), destroyed with the indication.
class ProgressWindow : public Progress {
public:
    ProgressWindow();
    ~ProgressWindow() override;
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    void setText(const std::string& text) override;
    void setMaximum(std::int64_t maximum) override;
    // Positions outside 0..maximum are held at the nearest end, as the bar draws them.
    void setPosition(std::int64_t position) override;
    void setBarVisible(bool visible) override;
    // Paints the window at once, but only when what it would draw differs from what was
    // last painted: a script of a million lines moves the bar a few hundred pixels.
    void repaint() override;
    void close() override;

    TprogressBarF& form() { return *m_form; }
    std::int64_t maximum() const { return m_maximum; }
    std::int64_t position() const { return m_position; }

private:
    int toBarUnits(std::int64_t value) const;
    int filledPixels() const;

    std::unique_ptr<TprogressBarF> m_form;
    std::int64_t m_maximum = 0;
    std::int64_t m_position = 0;
    int m_barPixels = -1;      // filled width the bar was last told about
    int m_paintedPixels = -1;  // filled width when the window was last painted
    bool m_textChanged = true; // text or bar visibility changed since the last paint
};

} // namespace pupdate
