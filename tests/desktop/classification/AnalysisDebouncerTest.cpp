#include "desktop/classification/AnalysisDebouncer.h"

#include <gtest/gtest.h>

#include <cmath>

using quillmere::AnalysisDebouncer;

TEST(AnalysisDebouncer, GrantsOncePerSignatureAfterTheDelay) {
    AnalysisDebouncer debouncer(0.5);
    EXPECT_FALSE(debouncer.takeRequest(10));
    EXPECT_FALSE(debouncer.accepts(0));
    EXPECT_TRUE(debouncer.observe(QStringLiteral("a"), 1.0));
    EXPECT_FALSE(debouncer.observe(QStringLiteral("a"), 1.5));
    EXPECT_EQ(debouncer.generation, 1);
    EXPECT_FALSE(debouncer.takeRequest(1.49));
    // Exactly the delay is enough.
    EXPECT_EQ(debouncer.takeRequest(1.5), 1);
    EXPECT_FALSE(debouncer.takeRequest(5));
    EXPECT_TRUE(debouncer.accepts(1));

    EXPECT_TRUE(debouncer.observe(QStringLiteral("b"), 6));
    EXPECT_FALSE(debouncer.accepts(1));
    EXPECT_FALSE(debouncer.takeRequest(6.25));
    EXPECT_EQ(debouncer.takeRequest(6.5), 2);
}

TEST(AnalysisDebouncer, AbsentSignatureIsAChangeAndStopsEverything) {
    AnalysisDebouncer debouncer(0.9);
    debouncer.observe(QStringLiteral("a"), 0);
    EXPECT_TRUE(debouncer.observe(std::nullopt, 1));
    EXPECT_EQ(debouncer.generation, 2);
    EXPECT_FALSE(debouncer.takeRequest(100));
    EXPECT_FALSE(debouncer.accepts(2));
    EXPECT_FALSE(debouncer.observe(std::nullopt, 2));
}

TEST(AnalysisDebouncer, NotANumberNeverGrants) {
    AnalysisDebouncer debouncer(0.9);
    debouncer.observe(QStringLiteral("a"), 0);
    EXPECT_FALSE(debouncer.takeRequest(std::nan("")));
}
