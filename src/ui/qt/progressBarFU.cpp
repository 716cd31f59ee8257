#include "progressBarFU.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QScreen>
#include <QShowEvent>
#include <QThread>
#include <QWindow>
#include <vector>

namespace pupdate {

namespace {

// How long a freshly shown window waits for the window system to expose it.
constexpr int kExposureWaitMs = 250;

// How long a hidden window waits for the window system to report the windows it
// uncovered. Where the platform reports nothing (offscreen), this is spent in full.
constexpr int kUncoverWaitMs = 100;

// Notes which of some windows the window system has exposed since it was made.
class ExposureWatch : public QObject {
public:
    explicit ExposureWatch(const std::vector<QWidget*>& windows) {
        for (QWidget* widget : windows) {
            if (QWindow* window = widget->windowHandle()) {
                window->installEventFilter(this);
                m_watched.emplace_back(window);
                m_pending.emplace_back(window);
            }
        }
    }
    ~ExposureWatch() override {
        for (const QPointer<QWindow>& window : m_watched) {
            if (window) {
                window->removeEventFilter(this);
            }
        }
    }
    bool done() const { return m_pending.empty(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose) {
            std::erase_if(m_pending, [watched](const QPointer<QWindow>& window) {
                return !window || window == watched;
            });
        }
        return false;
    }

private:
    std::vector<QPointer<QWindow>> m_watched;
    std::vector<QPointer<QWindow>> m_pending;
};

void centreOnScreen(QWidget& window) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window.move(area.center() - window.rect().center());
    }
}

} // namespace

int TprogressBarF::s_minimiseHeld = 0;

TprogressBarF::TprogressBarF(QWidget* parent) : QWidget(parent) {
    setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    QFont windowFont(QStringLiteral("宋体"));
    windowFont.setPixelSize(12);
    setFont(windowFont);
    setFixedSize(434, 55);
    centreOnScreen(*this);
}

QEvent::Type TprogressBarF::minimiseRequestType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void TprogressBarF::FormShow() {
    QCoreApplication::postEvent(this, new QEvent(minimiseRequestType()));
}

void TprogressBarF::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        FormShow();
    }
}

bool TprogressBarF::event(QEvent* event) {
    if (event->type() == minimiseRequestType()) {
        if (s_minimiseHeld > 0) {
            // Queued again: events posted while posted events are being delivered wait
            // for the next round.
            QCoreApplication::postEvent(this, new QEvent(minimiseRequestType()));
        } else {
            setWindowState(windowState() | Qt::WindowMinimized);
        }
        return true;
    }
    return QWidget::event(event);
}

bool TprogressBarF::isExposed() const {
    const QWindow* window = windowHandle();
    return window != nullptr && window->isExposed();
}

void TprogressBarF::takeWindowSystemEvents() {
    ++s_minimiseHeld;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    --s_minimiseHeld;
}

bool TprogressBarF::waitUntilExposed(int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (true) {
        takeWindowSystemEvents();
        if (isExposed()) {
            return true;
        }
        if (clock.elapsed() >= limitMs) {
            return false;
        }
        QThread::msleep(1);
    }
}

void TprogressBarF::showPainted() {
    show();
    // The window system exposes a new window a moment after it is shown (under a window
    // manager, once that has framed it); Qt paints it then. The engine goes on only
    // after that, so the window is never a blank frame while the engine works. A window
    // that takes longer is painted at its first change instead.
    waitUntilExposed(kExposureWaitMs);
}

void TprogressBarF::hideRevealing() {
    if (!isVisible()) {
        return;
    }
    const QRect covered = frameGeometry();
    std::vector<QWidget*> beneath;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window != this && window->isVisible() && !window->isMinimized() &&
            window->frameGeometry().intersects(covered)) {
            beneath.push_back(window);
        }
    }
    hide();
    if (beneath.empty()) {
        return;
    }
    // Nothing else paints the application's windows beneath while the engine blocks the
    // event loop: they are painted at once, which is enough where the window system
    // takes the hidden window away before it draws them. Under a window manager the
    // window's frame goes a moment later, and the window system then tells which parts
    // it uncovered; those are painted as that news is taken.
    ExposureWatch watch(beneath);
    for (QWidget* window : beneath) {
        window->repaint();
    }
    QElapsedTimer clock;
    clock.start();
    while (!watch.done() && clock.elapsed() < kUncoverWaitMs) {
        QThread::msleep(1);
        takeWindowSystemEvents();
    }
}

ProgressWindow::ProgressWindow() : m_form(std::make_unique<TprogressBarF>()) {
    m_form->showPainted();
    m_pacing.setBarWidth(m_form->probar->width());
}

ProgressWindow::~ProgressWindow() {
    // Released without being closed (the commit window): it goes the same way.
    close();
}

void ProgressWindow::setText(const std::string& text) {
    m_form->Label1->setText(QString::fromStdString(text));
    m_pacing.windowChanged();
}

void ProgressWindow::setMaximum(std::int64_t maximum) {
    m_pacing.setMaximum(maximum);
    tellBar([this] {
        m_form->probar->setRange(0, m_pacing.toBarUnits(m_pacing.maximum()));
        m_form->probar->setValue(m_pacing.toBarUnits(m_pacing.position()));
    });
}

template <typename Change> void ProgressWindow::tellBar(Change&& change) {
    // QProgressBar repaints itself at once when its value moves by a visible step: with
    // its updates held off meanwhile, it is painted once, by repaint(). Letting them on
    // again only marks it for painting.
    QProgressBar& bar = *m_form->probar;
    bar.setUpdatesEnabled(false);
    change();
    bar.setUpdatesEnabled(true);
}

void ProgressWindow::setPosition(std::int64_t position) {
    // The bar itself is told when it is painted: its setValue formats, measures and
    // notifies on every call, which costs more than a statement of a line-mode script.
    m_pacing.setPosition(position);
}

void ProgressWindow::tellBarPosition() {
    tellBar([this] { m_form->probar->setValue(m_pacing.toBarUnits(m_pacing.position())); });
}

void ProgressWindow::setBarVisible(bool visible) {
    m_form->probar->setVisible(visible);
    m_pacing.windowChanged();
}

void ProgressWindow::repaint() {
    // Called after every statement: the test for "nothing to draw" must cost nothing.
    if (m_pacing.idle() || !m_form->isVisible()) {
        return;
    }
    const BarPacing::Paint paint = m_pacing.takePaint();
    if (paint == BarPacing::Paint::None) {
        return;
    }
    tellBarPosition();
    if (!m_form->isExposed()) {
        // A window shown while the engine blocks the event loop is not exposed yet and
        // cannot be painted. Tried again at the next change only, so that a window that
        // never gets exposed costs no more than the changes of its bar.
        m_form->takeWindowSystemEvents();
        if (!m_form->isExposed()) {
            return;
        }
        m_form->repaint();
        return;
    }
    // When only the bar has grown, only the bar is painted again: the text in the CJK
    // font costs more to draw than the bar does.
    if (paint == BarPacing::Paint::Window) {
        m_form->repaint();
    } else {
        m_form->probar->repaint();
    }
}

void ProgressWindow::close() {
    // A hidden window is not painted; its bar still holds the last position.
    tellBarPosition();
    m_form->hideRevealing();
}

} // namespace pupdate
