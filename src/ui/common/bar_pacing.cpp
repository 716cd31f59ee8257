#include "bar_pacing.h"

#include <climits>
#include <cstdlib>

namespace pupdate {

void BarPacing::setBarWidth(int width) {
    m_barWidth = std::max(width, 0);
}

void BarPacing::setMaximum(std::int64_t maximum) {
    m_maximum = std::max<std::int64_t>(maximum, 0);
    m_position = std::clamp<std::int64_t>(m_position, 0, m_maximum);
    m_barPixels = filledPixels();
}

int BarPacing::filledPixels() const {
    if (m_maximum <= 0) {
        return 0;
    }
    // Whole numbers: this runs after every statement.
    const std::int64_t width = m_barWidth;
    if (m_position <= INT64_MAX / std::max<std::int64_t>(width, 1)) {
        return static_cast<int>(m_position * width / m_maximum);
    }
    return static_cast<int>(static_cast<long double>(m_position) / m_maximum * width);
}

bool BarPacing::barPaintDue() const {
    if (m_position == 0 || m_position == m_maximum) {
        return true;
    }
    const int jump = m_barWidth / 8;
    if (m_paintedPixels < 0 || std::abs(m_barPixels - m_paintedPixels) >= jump) {
        return true;
    }
    // More paints than a person can follow would slow a fast script down.
    return std::chrono::steady_clock::now() - m_lastPaint >=
           std::chrono::milliseconds(1000 / kBarPaintsPerSecond);
}

BarPacing::Paint BarPacing::takePaint() {
    if (idle()) {
        return Paint::None;
    }
    const bool wholeWindow = m_windowChanged;
    if (!wholeWindow) {
        // Asked once per width the bar reaches, not after every statement: a width that
        // was not due is painted with a later one.
        if (m_barPixels == m_checkedPixels) {
            return Paint::None;
        }
        m_checkedPixels = m_barPixels;
        if (!barPaintDue()) {
            return Paint::None;
        }
    }
    m_windowChanged = false;
    m_paintedPixels = m_barPixels;
    m_lastPaint = std::chrono::steady_clock::now();
    return wholeWindow ? Paint::Window : Paint::Bar;
}

int BarPacing::toBarUnits(std::int64_t value) const {
    if (m_maximum <= INT_MAX) {
        return static_cast<int>(value);
    }
    return static_cast<int>(static_cast<long double>(value) * INT_MAX / m_maximum);
}

} // namespace pupdate
