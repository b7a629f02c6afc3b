#include "core/IsoTime.h"

#include <QTimeZone>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace quillmere;

namespace {
QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}
} // namespace

// MARK: - formatting

TEST(IsoTime, FormatsUtcWithWholeSecondsDroppingTheFraction) {
    EXPECT_EQ(isotime::format(utc(2026, 12, 6, 17, 7, 1, 999)), "2026-12-06T17:07:01Z");
    EXPECT_EQ(isotime::formatWithMilliseconds(utc(2026, 12, 6, 17, 7, 1, 5)), "2026-12-06T17:07:01.005Z");
    EXPECT_EQ(isotime::format(utc(999, 1, 2, 3, 4, 5)), "0999-01-02T03:04:05Z");
    EXPECT_EQ(isotime::format(QDateTime()), "");
    EXPECT_EQ(isotime::formatWithMilliseconds(QDateTime()), "");
}

TEST(IsoTime, FormatsOtherZonesAsTheSameInstantInUtc) {
    const QDateTime plusTwo(QDate(2026, 1, 1), QTime(1, 30), QTimeZone(2 * 3600));
    EXPECT_EQ(isotime::format(plusTwo), "2025-12-31T23:30:00Z");
    const QDateTime minusFive(QDate(2026, 2, 28), QTime(22, 0, 0, 250), Qt::OffsetFromUTC, -5 * 3600);
    EXPECT_EQ(isotime::formatWithMilliseconds(minusFive), "2026-03-01T03:00:00.250Z");
}

TEST(IsoTime, DropsTheFractionBeforeTheEpochToo) {
    // 1969-12-31T23:59:59.500Z: dropping the fraction keeps the earlier second.
    EXPECT_EQ(isotime::format(QDateTime::fromMSecsSinceEpoch(-500, Qt::UTC)), "1969-12-31T23:59:59Z");
}

// MARK: - parsing

TEST(IsoTime, ParsesBothFormsAndRoundTrips) {
    EXPECT_EQ(isotime::parse("2026-12-06T17:07:01Z"), utc(2026, 12, 6, 17, 7, 1));
    EXPECT_EQ(isotime::parseWithMilliseconds("2026-12-06T17:07:01.123Z"), utc(2026, 12, 6, 17, 7, 1, 123));
    EXPECT_EQ(isotime::parse("2024-02-29T23:59:59Z"), utc(2024, 2, 29, 23, 59, 59));
    const QDateTime time = utc(2031, 7, 4, 0, 0, 0, 42);
    EXPECT_EQ(isotime::parseWithMilliseconds(isotime::formatWithMilliseconds(time)), time);
    EXPECT_EQ(isotime::parse(isotime::format(time))->timeSpec(), Qt::UTC);
}

TEST(IsoTime, EachParserAcceptsOnlyItsOwnForm) {
    EXPECT_FALSE(isotime::parse("2026-12-06T17:07:01.123Z"));
    EXPECT_FALSE(isotime::parseWithMilliseconds("2026-12-06T17:07:01Z"));
}

TEST(IsoTime, RejectsOffsetsCaseAndJunk) {
    for (const char* text : {
             "2026-12-06T17:07:01",       // no zone
             "2026-12-06T17:07:01+00:00", // an offset, even zero
             "2026-12-06T17:07:01-05:00", //
             "2026-12-06t17:07:01Z",      // lower-case t
             "2026-12-06T17:07:01z",      // lower-case z
             "2026-12-06 17:07:01Z",      // space separator
             "2026-12-06T17:07:01Z ",     // trailing space
             "2026-12-06T17:07:01Z\n",    // trailing line break
             " 2026-12-06T17:07:01Z",     // leading space
             "2026-12-06T17:07:01ZZ",     //
             "2026-12-6T17:07:01Z",       // short field
             "20261206T170701Z",          // basic format
             "+2026-12-06T17:07:01Z",     //
             "2026-12-06T17:07Z",         // no seconds
             "",
         })
        EXPECT_FALSE(isotime::parse(QString::fromLatin1(text))) << text;
    for (const char* text :
         {"2026-12-06T17:07:01.12Z", "2026-12-06T17:07:01.1234Z", "2026-12-06T17:07:01,123Z",
          "2026-12-06T17:07:01.123+00:00", "2026-12-06T17:07:01.123z"})
        EXPECT_FALSE(isotime::parseWithMilliseconds(QString::fromLatin1(text))) << text;
}

TEST(IsoTime, RejectsOutOfRangeFields) {
    for (const char* text : {"2026-13-01T00:00:00Z", "2026-00-10T00:00:00Z", "2026-02-29T00:00:00Z",
                             "2026-04-31T00:00:00Z", "2026-01-00T00:00:00Z", "2026-01-01T24:00:00Z",
                             "2026-01-01T23:60:00Z", "2026-12-31T23:59:60Z", "0000-01-01T00:00:00Z"})
        EXPECT_FALSE(isotime::parse(QString::fromLatin1(text))) << text;
}

TEST(IsoTime, RejectsNonAsciiDigits) {
    // Arabic-Indic digits and full-width digits look like numbers to a loose parser.
    EXPECT_FALSE(isotime::parse(QString::fromUtf8("\u0662\u0660\u0662\u0666-12-06T17:07:01Z")));
    EXPECT_FALSE(isotime::parse(QString::fromUtf8("2026-12-06T17:07:\uFF10\uFF11Z")));
}

// MARK: - reference date

TEST(IsoTime, SecondsSinceTheReferenceDate) {
    EXPECT_EQ(isotime::secondsSinceReferenceDate(utc(2001, 1, 1, 0, 0, 0)), 0.0);
    EXPECT_EQ(isotime::secondsSinceReferenceDate(utc(2001, 1, 2, 0, 0, 1, 500)), 86401.5);
    EXPECT_EQ(isotime::secondsSinceReferenceDate(utc(2000, 12, 31, 23, 59, 59)), -1.0);
    EXPECT_TRUE(std::isnan(isotime::secondsSinceReferenceDate(QDateTime())));

    EXPECT_EQ(isotime::fromSecondsSinceReferenceDate(86401.5), utc(2001, 1, 2, 0, 0, 1, 500));
    EXPECT_EQ(isotime::fromSecondsSinceReferenceDate(-1), utc(2000, 12, 31, 23, 59, 59));
    EXPECT_EQ(isotime::fromSecondsSinceReferenceDate(0).timeSpec(), Qt::UTC);
    const QDateTime time = utc(2026, 5, 17, 8, 9, 10, 11);
    EXPECT_EQ(isotime::fromSecondsSinceReferenceDate(isotime::secondsSinceReferenceDate(time)), time);
}

TEST(IsoTime, GarbageReferenceSecondsGiveAnInvalidTime) {
    for (double seconds : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(), 1e300, -1e300})
        EXPECT_FALSE(isotime::fromSecondsSinceReferenceDate(seconds).isValid()) << seconds;
}

// Seconds since the reference date are a double, where most millisecond values fall just below or
// just above themselves (1.001 is 1.000999…): the instant is the nearest millisecond, never the
// one below. Every millisecond of a second, before and after the reference date, and far from it,
// comes back as the same text.
TEST(IsoTime, MillisecondsRoundTripThroughReferenceSeconds) {
    EXPECT_EQ(isotime::formatWithMilliseconds(isotime::fromSecondsSinceReferenceDate(1.001)),
              "2001-01-01T00:00:01.001Z");
    EXPECT_EQ(isotime::formatWithMilliseconds(isotime::fromSecondsSinceReferenceDate(-1.001)),
              "2000-12-31T23:59:58.999Z");
    EXPECT_EQ(isotime::formatWithMilliseconds(isotime::fromSecondsSinceReferenceDate(0.0004)),
              "2001-01-01T00:00:00.000Z");
    EXPECT_EQ(isotime::formatWithMilliseconds(isotime::fromSecondsSinceReferenceDate(0.0006)),
              "2001-01-01T00:00:00.001Z");
    for (const QDateTime& base : {utc(2001, 1, 1, 0, 0, 1), utc(2000, 12, 31, 23, 59, 0),
                                  utc(2026, 12, 6, 17, 7, 1), utc(2099, 12, 31, 23, 59, 58)}) {
        int mismatches = 0;
        for (int ms = 0; ms < 1000; ++ms) {
            const QDateTime time = base.addMSecs(ms);
            const QString text = isotime::formatWithMilliseconds(time);
            const QDateTime back =
                isotime::fromSecondsSinceReferenceDate(isotime::secondsSinceReferenceDate(time));
            if (isotime::formatWithMilliseconds(back) != text && ++mismatches <= 3)
                ADD_FAILURE() << text.toStdString() << " came back as "
                              << isotime::formatWithMilliseconds(back).toStdString();
        }
        EXPECT_EQ(mismatches, 0) << isotime::format(base).toStdString();
    }
}
