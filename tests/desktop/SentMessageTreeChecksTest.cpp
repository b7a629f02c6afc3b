#include "desktop/checks/SentMessageTreeChecks.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(SentMessageTreeChecks, EveryCheckPasses) {
    checks::CheckLog log;
    SentMessageTreeChecks::run(log.reporter());
    for (const QString& failed : log.failures())
        ADD_FAILURE() << "failed check: " << failed.toStdString();
    EXPECT_EQ(log.count(), 105);
}
