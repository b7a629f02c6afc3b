#include "core/PanelPlacement.h"

#include <algorithm>
#include <cmath>

namespace quillmere::PanelPlacement {

namespace {

double nonNegative(double value) {
    return std::isfinite(value) && value > 0 ? value : 0;
}

bool isFinite(const QRectF& rect) {
    return std::isfinite(rect.x()) && std::isfinite(rect.y()) && std::isfinite(rect.width()) &&
           std::isfinite(rect.height()) && std::isfinite(rect.x() + rect.width()) &&
           std::isfinite(rect.y() + rect.height());
}

} // namespace

QRectF frame(const QRectF& beside, const QRectF& visibleScreen, double panelWidth, double gap,
             double verticalInset) {
    const double width = nonNegative(panelWidth);
    const double spacing = nonNegative(gap);
    const double inset = nonNegative(verticalInset);
    const bool screenKnown = isFinite(visibleScreen);
    const double screenMinX = visibleScreen.x();
    const double screenMaxX = visibleScreen.x() + visibleScreen.width();
    const double screenMinY = visibleScreen.y();
    const double screenMaxY = visibleScreen.y() + visibleScreen.height();
    const double windowMinX = beside.x();
    const double windowMaxX = beside.x() + beside.width();

    double x;
    if (windowMaxX + spacing + width <= screenMaxX)
        x = windowMaxX + spacing;
    else
        x = std::max(windowMinX + spacing, windowMaxX - width - spacing);
    if (!std::isfinite(x))
        x = screenKnown ? std::max(screenMinX, screenMaxX - width - spacing) : 0;

    const double available = beside.height() - 2 * inset;
    const double height =
        std::isnan(available) ? minimumHeight : std::clamp(available, minimumHeight, maximumHeight);

    double y = beside.y() + beside.height() / 2 - height / 2;
    if (screenKnown) {
        y = std::min(y, screenMaxY - height - spacing);
        y = std::max(y, screenMinY + spacing);
    }
    if (!std::isfinite(y))
        y = screenKnown ? screenMinY + spacing : 0;

    return QRectF(x, y, width, height);
}

} // namespace quillmere::PanelPlacement
