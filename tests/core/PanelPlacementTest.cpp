#include "core/PanelPlacement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace quillmere;

namespace {

const QRectF screen(0, 0, 1440, 875);
constexpr double width = 310;
constexpr double gap = 12;
constexpr double inset = 72;

QRectF place(const QRectF& window, const QRectF& visible = screen, double panelWidth = width) {
    return PanelPlacement::frame(window, visible, panelWidth, gap, inset);
}

bool finite(const QRectF& r) {
    return std::isfinite(r.x()) && std::isfinite(r.y()) && std::isfinite(r.width()) &&
           std::isfinite(r.height());
}

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

} // namespace

TEST(PanelPlacement, BesideTheWindowWhenItFitsElseInsideItsRightEdge) {
    // 100 + 700 + 12 + 310 = 1122 <= 1440: right of the window, centred on it.
    EXPECT_EQ(place(QRectF(100, 100, 700, 600)), QRectF(812, 190, 310, 420));
    // Ending exactly at the screen's edge still fits.
    EXPECT_EQ(place(QRectF(0, 100, 1118, 600)).x(), 1130);
    EXPECT_EQ(place(QRectF(0, 100, 1119, 600)).x(), 1119 - 310 - 12);
    // A window narrower than the panel: the larger of min x + gap and max x - width - gap.
    EXPECT_EQ(place(QRectF(1300, 100, 100, 600)).x(), 1312);
}

TEST(PanelPlacement, HeightFollowsTheWindowWithinLimits) {
    EXPECT_EQ(place(QRectF(100, 100, 700, 500)).height(), 356);
    EXPECT_EQ(place(QRectF(100, 100, 700, 200)).height(), 220);
    EXPECT_EQ(place(QRectF(100, 0, 700, 875)).height(), 420);
    EXPECT_EQ(place(QRectF(100, 100, 700, -50)).height(), 220);
}

TEST(PanelPlacement, KeptInsideTheVisibleFrameVertically) {
    // A window hanging below the screen: the panel stays a gap above the bottom.
    EXPECT_EQ(place(QRectF(100, -500, 700, 600)).y(), 12);
    // One reaching above it: at most visible max y - height - gap.
    EXPECT_EQ(place(QRectF(100, 600, 700, 600)).y(), 875 - 420 - 12);
    // An offset screen.
    EXPECT_EQ(place(QRectF(100, 1000, 700, 600), QRectF(0, 900, 1440, 875)).y(), 1090);
    // A screen too short for the panel: the lower bound wins.
    EXPECT_EQ(place(QRectF(100, 0, 700, 600), QRectF(0, 0, 800, 300)).y(), 12);
}

TEST(PanelPlacement, HugeWindowsAndTinyScreensStayFinite) {
    const QRectF huge = place(QRectF(-1e300, -1e300, 1e300, 1e300));
    EXPECT_TRUE(finite(huge));
    EXPECT_EQ(huge.height(), 420);
    const QRectF tiny = place(QRectF(0, 0, 10, 10), QRectF(0, 0, 1, 1));
    EXPECT_TRUE(finite(tiny));
    EXPECT_EQ(tiny, QRectF(12, 12, 310, 220));
}

TEST(PanelPlacement, NonFiniteGeometryNeverReachesTheResult) {
    for (const QRectF& window :
         {QRectF(notANumber, 100, 700, 600), QRectF(100, notANumber, 700, 600),
          QRectF(100, 100, infinity, 600), QRectF(100, 100, 700, infinity),
          QRectF(-infinity, -infinity, infinity, infinity),
          QRectF(notANumber, notANumber, notANumber, notANumber), QRectF(1e308, 1e308, 1e308, 1e308)}) {
        const QRectF result = place(window);
        EXPECT_TRUE(finite(result)) << result.x() << " " << result.y() << " " << result.height();
        EXPECT_GE(result.y(), 12);
        EXPECT_LE(result.y() + result.height(), 875 - 12 + 1e-9);
        EXPECT_LE(result.x() + result.width(), 1440);
    }
    EXPECT_TRUE(finite(place(QRectF(100, 100, 700, 600), QRectF(notANumber, 0, infinity, 875))));
    EXPECT_TRUE(finite(place(QRectF(notANumber, notANumber, notANumber, notANumber),
                             QRectF(notANumber, notANumber, notANumber, notANumber))));
    EXPECT_EQ(place(QRectF(100, 100, 700, 600), screen, notANumber).width(), 0);
    EXPECT_EQ(place(QRectF(100, 100, 700, 600), screen, -5).width(), 0);
    EXPECT_EQ(
        PanelPlacement::frame(QRectF(100, 100, 700, 600), screen, width, notANumber, notANumber).height(),
        420);
}
