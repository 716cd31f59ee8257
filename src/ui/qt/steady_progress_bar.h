#pragma once
// A progress bar that stays empty when its range is 0..0. QProgressBar draws a moving
// "busy" indicator for that range; the progress window shows an empty script's bar
// with maximum 0, which must read as nothing done, not as work going on.

#include <QProgressBar>

namespace pupdate {

class SteadyProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit SteadyProgressBar(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace pupdate
