#pragma once

// Where the floating card goes beside a host window: right of the window when it fits on the
// screen, otherwise just inside the window's right edge; vertically centred on the window and kept
// inside the screen's visible frame.
//
// The rule only needs one consistent y axis; the screen's coordinates are used as they come (origin
// at the bottom left on the original platform). "Minimum y" and "maximum y" are rect.y() and
// rect.y() + rect.height().

#include <QRectF>

namespace quillmere::PanelPlacement {

// The card's height range: short windows still get a readable card, tall ones no towering one.
inline constexpr double minimumHeight = 220;
inline constexpr double maximumHeight = 420;

// A rectangle of panelWidth: x is the window's maximum x plus the gap when the panel then ends at
// or before the visible frame's maximum x, else the larger of (window minimum x + gap) and
// (window maximum x - width - gap); the height is the window's height less twice the inset,
// clamped to 220-420; y centres it on the window, then is kept at most (visible maximum y - height
// - gap) and at least (visible minimum y + gap), the lower bound winning on a screen too short
// for both.
//
// Geometry from a misbehaving host can be garbage: a non-finite coordinate never reaches the
// result, and a negative or non-finite width, gap or inset counts as zero.
QRectF frame(const QRectF& beside, const QRectF& visibleScreen, double panelWidth, double gap,
             double verticalInset);

} // namespace quillmere::PanelPlacement
