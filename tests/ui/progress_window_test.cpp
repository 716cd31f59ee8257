// The progress window: its layout, and how the engine's indication drives it.

#include "progressBarFU.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QProgressBar>
#include <QScreen>
#include <gtest/gtest.h>

namespace pupdate::testing {
namespace {

// Every paint of a progress window's text or bar, and what it showed then.
class PaintLog : public QObject {
public:
    PaintLog() { qApp->installEventFilter(this); }
    ~PaintLog() override { qApp->removeEventFilter(this); }
    std::vector<QString> texts; // Label1
    std::vector<int> bars;      // probar's value

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint || !watched->isWidgetType()) {
            return false;
        }
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->window()->objectName() != QLatin1String("TprogressBarF")) {
            return false;
        }
        if (auto* label = qobject_cast<QLabel*>(widget);
            label != nullptr && label->objectName() == QLatin1String("Label1")) {
            texts.push_back(label->text());
        } else if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
            bars.push_back(bar->value());
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
    // The bar takes each position as the engine repaints after it.
    progress.setMaximum(100);
    progress.setPosition(40);
    progress.repaint();
    EXPECT_EQ(form.probar->maximum(), 100);
    EXPECT_EQ(form.probar->value(), 40);
    // Out of range positions are held at the ends, as the bar draws them.
    progress.setPosition(250);
    progress.repaint();
    EXPECT_EQ(form.probar->value(), 100);
    progress.setPosition(-3);
    progress.repaint();
    EXPECT_EQ(form.probar->value(), 0);
    // Closing leaves the bar at the last position, painted or not.
    progress.setPosition(41);
    progress.repaint();
    progress.setPosition(42);
    progress.setBarVisible(false);
    EXPECT_TRUE(form.probar->isHidden());
    progress.close();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.probar->value(), 42);
    progress.close(); // a second close changes nothing
    EXPECT_FALSE(form.isVisible());
}

TEST(ProgressWindowTest, HugeMaximumKeepsTheShare) {
    ProgressWindow progress;
    const std::int64_t maximum = 6'000'000'000;
    progress.setMaximum(maximum);
    progress.setPosition(maximum / 2);
    progress.repaint();
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
    progress.repaint();
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

TEST(ProgressWindowTest, FreshWindowIsPaintedAndRepaintPaintsOnlyWhatChanged) {
    PaintLog paints;
    ProgressWindow progress;
    TprogressBarF& form = progress.form();
    // Exposed and painted before the engine goes on, though no event loop has run.
    EXPECT_TRUE(form.isExposed());
    ASSERT_FALSE(paints.texts.empty());
    EXPECT_EQ(paints.texts.back(), QStringLiteral("正在发送..."));
    paints.texts.clear();
    paints.bars.clear();

    const std::int64_t lines = 1'000'000;
    progress.setMaximum(lines);
    progress.setText("正在校验：/pkg/Updatesql/big.sql");
    for (std::int64_t line = 0; line < lines; ++line) {
        progress.setPosition(line);
        progress.repaint();
    }
    // One paint per pixel the bar grows at most, not one per line.
    EXPECT_GT(paints.bars.size(), 0u);
    EXPECT_LE(paints.bars.size(), static_cast<std::size_t>(form.probar->width() + 2));
    ASSERT_FALSE(paints.texts.empty());
    EXPECT_EQ(paints.texts.front(), QStringLiteral("正在校验：/pkg/Updatesql/big.sql"));

    // The same state again paints nothing; the commit's text with the bar hidden is
    // painted at once.
    const std::size_t before = paints.texts.size();
    progress.repaint();
    EXPECT_EQ(paints.texts.size(), before);
    progress.setText("正在提交数据......");
    progress.setBarVisible(false);
    progress.repaint();
    ASSERT_EQ(paints.texts.size(), before + 1);
    EXPECT_EQ(paints.texts.back(), QStringLiteral("正在提交数据......"));
    progress.setText("提交成功！");
    progress.repaint();
    EXPECT_EQ(paints.texts.back(), QStringLiteral("提交成功！"));

    // The minimise request is still queued for the next real event loop.
    EXPECT_FALSE(form.windowState() & Qt::WindowMinimized);
    QCoreApplication::sendPostedEvents(&form, TprogressBarF::minimiseRequestType());
    EXPECT_TRUE(form.windowState() & Qt::WindowMinimized);
}

TEST(ProgressWindowTest, BarPaintsKeepToTheClockButJumpsAndTheEndAreShownAtOnce) {
    ProgressWindow progress;
    PaintLog paints;
    // The server-side runner's steps, one right after the other.
    progress.setMaximum(100);
    progress.setText("正在校验：/pkg/Updatesql/b.sql");
    for (int position : {10, 40, 70}) {
        progress.setPosition(position);
        progress.repaint();
    }
    EXPECT_EQ(paints.bars, (std::vector<int>{10, 40, 70}));

    // A fast script: the bar moves a pixel every few hundred lines, but is painted at
    // most kBarPaintsPerSecond times a second, besides jumps of an eighth of its width.
    const std::int64_t lines = 1'000'000;
    progress.setMaximum(lines);
    paints.bars.clear();
    QElapsedTimer clock;
    clock.start();
    for (std::int64_t line = 1; line < lines; ++line) {
        progress.setPosition(line);
        progress.repaint();
    }
    const double seconds = clock.elapsed() / 1000.0;
    const auto allowed = static_cast<std::size_t>(seconds * BarPacing::kBarPaintsPerSecond) + 8 + 2;
    EXPECT_LE(paints.bars.size(), allowed) << seconds << " s";
    // The last position is always painted.
    progress.setPosition(lines);
    progress.repaint();
    ASSERT_FALSE(paints.bars.empty());
    EXPECT_EQ(paints.bars.back(), progress.form().probar->maximum());
}

} // namespace
} // namespace pupdate::testing
