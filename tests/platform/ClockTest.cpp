#include "platform/time/Clock.h"

#include <gtest/gtest.h>
#include <limits>

using namespace quillmere;

TEST(Clock, SystemUptimeIsMonotonicAndNowIsUtc) {
    Clock& clock = Clock::system();
    const double first = clock.uptime();
    const double second = clock.uptime();
    EXPECT_GT(first, 0);
    EXPECT_GE(second, first);
    const QDateTime now = clock.now();
    EXPECT_TRUE(now.isValid());
    EXPECT_EQ(now.timeSpec(), Qt::UTC);
    EXPECT_LE(qAbs(now.secsTo(QDateTime::currentDateTimeUtc())), 5);
}

TEST(Clock, ManualClockMovesOnlyWhenTold) {
    ManualClock clock(50.0, QDateTime(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(clock.uptime(), 50.0);
    clock.advance(1.25);
    EXPECT_EQ(clock.uptime(), 51.25);
    EXPECT_EQ(clock.now(), QDateTime(QDate(2026, 3, 1), QTime(0, 0, 1, 250), Qt::UTC));
    clock.advance(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(clock.uptime(), 51.25) << "a NaN step is ignored, not spread into both readings";
    clock.setUptime(7);
    clock.setNow(QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(clock.uptime(), 7);
    EXPECT_EQ(clock.now().date().year(), 2001);
}
