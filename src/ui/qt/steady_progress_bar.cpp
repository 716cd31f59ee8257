#include "steady_progress_bar.h"

#include <QApplication>
#include <QPointer>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionProgressBar>
#include <QStylePainter>

namespace pupdate {

namespace {

// The classic Windows look of the bar, shared by all bars and released with the
// application; null where Qt has no such style.
QStyle* classicStyle() {
    static QPointer<QStyle> style;
    if (style.isNull()) {
        style = QStyleFactory::create(QStringLiteral("Windows"));
        if (style) {
            style->setParent(QCoreApplication::instance());
        }
    }
    return style;
}

} // namespace

SteadyProgressBar::SteadyProgressBar(QWidget* parent) : QProgressBar(parent) {
    // Fusion, Qt's own style where the platform has none, draws the bar with
    // antialiased diagonal stripes, which the raster engine fills on helper threads:
    // the first paint makes the program multithreaded, and every later allocation and
    // lock of the engine and the database driver costs more for the rest of the run.
    // The classic Windows bar is plain filled blocks.
    if (QApplication::style()->name() == QLatin1String("fusion")) {
        if (QStyle* classic = classicStyle()) {
            setStyle(classic);
        }
    }
}

void SteadyProgressBar::paintEvent(QPaintEvent* event) {
    if (minimum() != maximum()) {
        // QProgressBar's own painting also notes the value it drew, which it needs to
        // repaint itself only on visible changes.
        QProgressBar::paintEvent(event);
        return;
    }
    // An empty range draws as an empty bar instead of the busy indicator.
    QStylePainter painter(this);
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    option.minimum = 0;
    option.maximum = 1;
    option.progress = 0;
    painter.drawControl(QStyle::CE_ProgressBar, option);
}

} // namespace pupdate
