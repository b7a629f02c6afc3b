#include "desktop/checks/ClaudeAvailabilityChecks.h"
#include "desktop/checks/CheckReporter.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(ClaudeAvailabilityChecks, EveryCheckPasses) {
    checks::CheckLog log;
    ClaudeAvailabilityChecks::run(log.reporter());
    EXPECT_TRUE(log.failures().isEmpty()) << "failed checks:\n" << log.failures().join('\n').toStdString();
    // Menu evidence 32 (18 of them for the rows that cannot grant), known settings 5, contract 12.
    EXPECT_EQ(log.count(), 32 + 5 + 12);
    EXPECT_EQ(log.sentences().first(), "exact enabled model/effort is positive access evidence");
    EXPECT_TRUE(
        log.sentences().contains("Sonnet 5: AXStaticText/Optional(true) cannot grant selectable access"));
    EXPECT_TRUE(log.sentences().contains("Haiku 5.5: AXMenuItem/nil cannot grant selectable access"));
}
