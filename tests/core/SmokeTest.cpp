#include <gtest/gtest.h>
#include <QString>

TEST(Build, LinksQtCore) { EXPECT_EQ(QString("a").size(), 1); }
