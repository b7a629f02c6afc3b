#include "desktop/card/RailViewController.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(RailViewControllerSmoke, NewCardIsCompactAndCollecting) {
    RailViewController card;
    card.view()->resize(310, 124);
    EXPECT_TRUE(card.minimizedForTesting());
    EXPECT_EQ(card.miniRecommendationForTesting(), QStringLiteral("Quillmere · Claude"));
    EXPECT_EQ(card.miniReasonForTesting(), QStringLiteral("Collecting context"));
    EXPECT_EQ(card.preferredHeight(310), 124);
    EXPECT_TRUE(card.miniLinesFitForTesting());
    EXPECT_TRUE(card.keyboardOrderForTesting());
}

} // namespace
} // namespace quillmere
