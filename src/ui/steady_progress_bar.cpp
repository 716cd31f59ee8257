#include "steady_progress_bar.h"

#include <QStyleOptionProgressBar>
#include <QStylePainter>

namespace pupdate {

SteadyProgressBar::SteadyProgressBar(QWidget* parent) : QProgressBar(parent) {}

void SteadyProgressBar::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    if (option.minimum == option.maximum) {
        // An empty range draws as an empty bar instead of the busy indicator.
        option.minimum = 0;
        option.maximum = 1;
        option.progress = 0;
    }
    painter.drawControl(QStyle::CE_ProgressBar, option);
}

} // namespace pupdate
