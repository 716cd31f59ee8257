#pragma once
// When a progress bar is to be painted while the engine blocks the window thread. The
// engine reports the position after every statement; a script of a million lines moves
// the bar a few hundred pixels, and each paint of the bar costs about as much as hundreds
// of short statements. The windows of every front end paint by these decisions; what a
// paint is stays theirs.

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace pupdate {

class BarPacing {
public:
    static constexpr int kBarPaintsPerSecond = 30;

    enum class Paint { None, Bar, Window };

    // The width in pixels of the whole bar, told before the first position: never
    // coarser than the filled part a style draws inside its frame.
    void setBarWidth(int width);
    // Positions outside 0..maximum are held at the nearest end, as the bar draws them.
    void setMaximum(std::int64_t maximum);
    void setPosition(std::int64_t position) {
        m_position = std::clamp<std::int64_t>(position, 0, m_maximum);
        m_barPixels = filledPixels();
    }
    std::int64_t maximum() const { return m_maximum; }
    std::int64_t position() const { return m_position; }
    // The text or the visibility of the bar changed: the whole window is painted next.
    void windowChanged() { m_windowChanged = true; }

    // Nothing to draw since the last paint: two integer comparisons, made after every
    // statement.
    bool idle() const { return !m_windowChanged && m_barPixels == m_paintedPixels; }
    // What is to be painted now. A change of the text or of the bar's visibility paints
    // the whole window at once; the bar alone is painted at most kBarPaintsPerSecond times
    // a second, except that a jump of an eighth of its width or more, and its first and
    // last positions, are painted at once. Anything but None is taken as painted.
    Paint takePaint();

    // A value in the units the bar takes, whose range is an int.
    int toBarUnits(std::int64_t value) const;

private:
    int filledPixels() const;
    bool barPaintDue() const;

    int m_barWidth = 0;
    std::int64_t m_maximum = 0;
    std::int64_t m_position = 0;
    int m_barPixels = -1;        // filled width at the position
    int m_paintedPixels = -1;    // filled width when the window was last painted
    int m_checkedPixels = -1;    // filled width last asked whether a paint was due
    bool m_windowChanged = true; // text or bar visibility changed since the last paint
    std::chrono::steady_clock::time_point m_lastPaint{};
};

} // namespace pupdate
