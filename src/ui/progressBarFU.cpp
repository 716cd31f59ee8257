#include "progressBarFU.h"

#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>
#include <algorithm>
#include <climits>

namespace pupdate {

namespace {

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

ProgressWindow::ProgressWindow() : m_form(std::make_unique<TprogressBarF>()) {
    m_form->show();
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::setText(const std::string& text) {
    m_form->Label1->setText(QString::fromStdString(text));
    m_textChanged = true;
}

void ProgressWindow::setMaximum(std::int64_t maximum) {
    m_maximum = std::max<std::int64_t>(maximum, 0);
    m_position = std::clamp<std::int64_t>(m_position, 0, m_maximum);
    m_form->probar->setRange(0, toBarUnits(m_maximum));
    m_form->probar->setValue(toBarUnits(m_position));
    m_barPixels = filledPixels();
}

void ProgressWindow::setPosition(std::int64_t position) {
    m_position = std::clamp<std::int64_t>(position, 0, m_maximum);
    // The bar is told only when what it draws changes (and at both ends): its setValue
    // formats, measures and notifies on every call, which costs more than a statement
    // of a line-mode script. Between two pixels the bar's value may lag the position.
    const int pixels = filledPixels();
    if (pixels != m_barPixels || m_position == 0 || m_position == m_maximum) {
        m_barPixels = pixels;
        m_form->probar->setValue(toBarUnits(m_position));
    }
}

int ProgressWindow::filledPixels() const {
    if (m_maximum <= 0) {
        return 0;
    }
    // Measured against the bar's whole width: never coarser than the filled part the
    // style draws inside its frame.
    const long double share = static_cast<long double>(m_position) / m_maximum;
    return static_cast<int>(share * m_form->probar->width());
}

void ProgressWindow::setBarVisible(bool visible) {
    m_form->probar->setVisible(visible);
    m_textChanged = true;
}

void ProgressWindow::repaint() {
    // Called after every statement: the test for "nothing to draw" must cost nothing.
    if ((!m_textChanged && m_barPixels == m_paintedPixels) || !m_form->isVisible()) {
        return;
    }
    // When only the bar has grown, only the bar is painted again: the text in the CJK
    // font costs more to draw than the bar does.
    const bool wholeWindow = m_textChanged;
    m_textChanged = false;
    m_paintedPixels = m_barPixels;
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
    if (wholeWindow) {
        m_form->repaint();
    } else {
        m_form->probar->repaint();
    }
}

void ProgressWindow::close() {
    m_form->close();
}

int ProgressWindow::toBarUnits(std::int64_t value) const {
    if (m_maximum <= INT_MAX) {
        return static_cast<int>(value);
    }
    return static_cast<int>(static_cast<long double>(value) * INT_MAX / m_maximum);
}

} // namespace pupdate
