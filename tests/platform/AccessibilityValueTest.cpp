#include "platform/accessibility/Value.h"

#include <gtest/gtest.h>

using namespace quillmere::ax;

namespace {

TEST(AccessibilityValue, BooleansBridgeFromExactlyZeroAndOne) {
    EXPECT_EQ(Value(true).asBoolean(), true);
    EXPECT_EQ(Value(0).asBoolean(), false);
    EXPECT_EQ(Value(1).asBoolean(), true);
    EXPECT_EQ(Value(1.0).asBoolean(), true);
    EXPECT_EQ(Value(2).asBoolean(), std::nullopt);
    EXPECT_EQ(Value(0.5).asBoolean(), std::nullopt);
    EXPECT_EQ(Value("false").asBoolean(), std::nullopt);
    EXPECT_EQ(Value().asBoolean(), std::nullopt);
}

TEST(AccessibilityValue, NumbersWriteThemselvesAsThePlatformDoes) {
    EXPECT_EQ(Value(true).numberText(), "1");
    EXPECT_EQ(Value(false).numberText(), "0");
    EXPECT_EQ(Value(qint64(-42)).numberText(), "-42");
    EXPECT_EQ(Value(2.0).numberText(), "2");
    EXPECT_EQ(Value(0.1).numberText(), "0.1");
    EXPECT_EQ(Value("7").numberText(), std::nullopt);
}

TEST(AccessibilityValue, GeometryKindsAreNotInterchangeable) {
    const Value size(Size{10, 20});
    EXPECT_EQ(size.size(), (Size{10, 20}));
    EXPECT_EQ(size.point(), std::nullopt);
    EXPECT_EQ(Value(Rect{{1, 2}, {3, 4}}).size(), std::nullopt);
    EXPECT_EQ(Value(Point{1, 2}).kind(), Value::Kind::point);
}

TEST(AccessibilityValue, ElementsCompareByTheNodeNotTheHandle) {
    const Element a = Element::make(9, 40, 501, 40);
    const Element b = Element::make(9, 40, 501, 40);
    const Element otherBackend = Element::make(10, 40, 501, 40);
    EXPECT_EQ(a, b);
    EXPECT_NE(a.handleSerial(), b.handleSerial());
    EXPECT_NE(a, otherBackend);
    EXPECT_NE(a, Element());
    EXPECT_TRUE(Element().isNull());
    EXPECT_EQ(Value(a), Value(b));
}

} // namespace
