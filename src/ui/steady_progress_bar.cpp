#include "steady_progress_bar.h"

#include <QStyleOptionProgressBar>
#include <QStylePainter>

namespace pupdate {

SteadyProgressBar::SteadyProgressBar(QWidget* parent) : QProgressBar(parent) {}

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
