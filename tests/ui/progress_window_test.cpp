// The progress window: its layout, and how the engine's indication drives it.

#include "progressBarFU.h"

#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QProgressBar>
#include <QScreen>
#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

// Counts the paint events that reach a widget.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++count;
        }
        return false;
    }
};

TEST(ProgressWindowTest, LayoutTextsAndInitialBar) {
    TprogressBarF form;
    EXPECT_EQ(form.size(), QSize(434, 55));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(form.parentWidget(), nullptr);
    EXPECT_EQ(form.font().family(), QStringLiteral("宋体"));
    EXPECT_EQ(form.font().pixelSize(), 12);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((form.geometry().center() - screen.center()).manhattanLength(), 2);

    EXPECT_EQ(form.Panel1->geometry(), QRect(0, 0, 434, 55));
    EXPECT_EQ(form.Label1->parentWidget(), form.Panel1);
    EXPECT_EQ(form.Label1->geometry(), QRect(2, 9, 429, 12));
    EXPECT_EQ(form.Label1->text(), QStringLiteral("正在发送..."));
    EXPECT_TRUE(form.Label1->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(form.probar->geometry(), QRect(12, 30, 412, 14));
    EXPECT_EQ(form.probar->minimum(), 0);
    EXPECT_EQ(form.probar->maximum(), 0);
    EXPECT_EQ(form.probar->value(), 0);
}

TEST(ProgressWindowTest, IndicationShowsTextMaximumAndPosition) {
    ProgressWindow progress;
    TprogressBarF& form = progress.form();
    EXPECT_TRUE(form.isVisible());
    progress.setText("正在校验：/pkg/Updatesql/a.sql");
    progress.setText("正在提交数据......");
    EXPECT_EQ(form.Label1->text(), QStringLiteral("正在提交数据......")); // replaced
    progress.setMaximum(100);
    progress.setPosition(40);
    EXPECT_EQ(form.probar->maximum(), 100);
    EXPECT_EQ(form.probar->value(), 40);
    // Out of range positions are held at the ends, as the bar draws them.
    progress.setPosition(250);
    EXPECT_EQ(form.probar->value(), 100);
    progress.setPosition(-3);
    EXPECT_EQ(form.probar->value(), 0);
    progress.setBarVisible(false);
    EXPECT_TRUE(form.probar->isHidden());
    progress.close();
    EXPECT_FALSE(form.isVisible());
    progress.close(); // a second close changes nothing
    EXPECT_FALSE(form.isVisible());
}

TEST(ProgressWindowTest, HugeMaximumKeepsTheShare) {
    ProgressWindow progress;
    const std::int64_t maximum = 6'000'000'000;
    progress.setMaximum(maximum);
    progress.setPosition(maximum / 2);
    const QProgressBar& bar = *progress.form().probar;
    EXPECT_NEAR(static_cast<double>(bar.value()) / bar.maximum(), 0.5, 1e-6);
}

TEST(ProgressWindowTest, EmptyRangeDrawsAnEmptyBarNotABusyIndicator) {
    ProgressWindow progress;
    TprogressBarF& form = progress.form();
    progress.setMaximum(10);
    progress.setPosition(0);
    const QImage emptyOfTen = form.probar->grab().toImage();
    progress.setPosition(10);
    const QImage fullOfTen = form.probar->grab().toImage();
    progress.setMaximum(0);
    const QImage zeroRange = form.probar->grab().toImage();
    EXPECT_NE(emptyOfTen, fullOfTen);
    EXPECT_EQ(zeroRange, emptyOfTen);
}

TEST(ProgressWindowTest, ShowingQueuesAMinimiseRequest) {
    TprogressBarF form;
    form.show();
    // Posted, not sent: the window is still normal until events are processed.
    EXPECT_FALSE(form.windowState() & Qt::WindowMinimized);
    QCoreApplication::sendPostedEvents(&form, TprogressBarF::minimiseRequestType());
    EXPECT_TRUE(form.windowState() & Qt::WindowMinimized);
}

TEST(ProgressWindowTest, RepaintPaintsOnlyWhenTheDrawnBarChanges) {
    ProgressWindow progress;
    TprogressBarF& form = progress.form();
    // Shown but not yet exposed: no event loop has run since.
    EXPECT_FALSE(form.isExposed());
    PaintCounter barPaints(form.probar);
    PaintCounter labelPaints(form.Label1);

    const std::int64_t lines = 1'000'000;
    progress.setMaximum(lines);
    progress.setText("正在校验：/pkg/Updatesql/big.sql");
    for (std::int64_t line = 0; line < lines; ++line) {
        progress.setPosition(line);
        progress.repaint();
    }
    // One paint per pixel the bar grows at most, not one per line (the bar paints
    // itself on a visible change, and the window repaint paints it again).
    EXPECT_GT(barPaints.count, 0);
    EXPECT_LE(barPaints.count, 2 * (form.probar->width() + 2));
    EXPECT_GE(labelPaints.count, 1);
    EXPECT_LE(labelPaints.count, form.probar->width() + 2);

    // The same state again paints nothing; a new text is painted once.
    const int before = labelPaints.count;
    progress.repaint();
    EXPECT_EQ(labelPaints.count, before);
    progress.setText("提交成功！");
    progress.repaint();
    EXPECT_EQ(labelPaints.count, before + 1);

    // The repaints let the exposure through but kept the minimise request queued.
    EXPECT_TRUE(form.isExposed());
    EXPECT_FALSE(form.windowState() & Qt::WindowMinimized);
    QCoreApplication::sendPostedEvents(&form, TprogressBarF::minimiseRequestType());
    EXPECT_TRUE(form.windowState() & Qt::WindowMinimized);
}

} // namespace
} // namespace pupdate::testing
