#include "desktop/observation/RenderedMessages.h"

#include <gtest/gtest.h>

using namespace quillmere;
namespace rm = quillmere::RenderedMessages;
using M = ConversationText::Message;

TEST(RenderedMessagePosition, OrdinalOrWholeNumberAfterTheWord) {
    EXPECT_EQ(rm::positionFromLabel(u"Message 3 of 10"), 3);
    EXPECT_EQ(rm::positionFromLabel(u"Message 12"), 12);
    EXPECT_EQ(rm::positionFromLabel(u"Message +7"), 7);
    EXPECT_EQ(rm::positionFromLabel(u"Message 12 of"), std::nullopt);
    EXPECT_EQ(rm::positionFromLabel(u"message 3"), std::nullopt);
    EXPECT_EQ(rm::positionFromLabel(u"Message 0"), std::nullopt);
    EXPECT_EQ(rm::positionFromLabel(u"Message -4"), std::nullopt);
    EXPECT_EQ(rm::positionFromLabel(u"Message  3"), std::nullopt);
    EXPECT_EQ(rm::positionFromLabel(u"Message 3 "), std::nullopt);
    EXPECT_EQ(rm::positionFromLabel(u"Message"), std::nullopt);
    EXPECT_EQ(rm::positionFromLabel(u"Message \u0663"), std::nullopt); // not an ASCII digit
    // "12 of 5" is no ordinal (N > M) and no whole number either.
    EXPECT_EQ(rm::positionFromLabel(u"Message 12 of 5"), std::nullopt);
    // Beyond the integer range is no position, never a wrapped one.
    EXPECT_EQ(rm::positionFromLabel(u"Message 99999999999999999999"), std::nullopt);
    EXPECT_EQ(rm::positionFromLabel(u"Message 4294967297"), std::nullopt);
}

TEST(RenderedMessageIdentifier, RememberedPositionFirst) {
    EXPECT_EQ(rm::messageIdentifier(7, u"assistant"), "message:7:assistant");
    const std::vector<std::optional<int>> remembered{4, std::nullopt};
    EXPECT_EQ(rm::messageIdentifier(0, remembered, 9, u"user"), "message:4:user");
    EXPECT_EQ(rm::messageIdentifier(1, remembered, 9, u"user"), "message:9:user");
    EXPECT_EQ(rm::messageIdentifier(5, remembered, 2, u"assistant"), "message:2:assistant");
    EXPECT_EQ(rm::messageIdentifier(-1, remembered, std::nullopt, u"user"), std::nullopt);
    EXPECT_EQ(rm::messageIdentifier(1, remembered, std::nullopt, u"user"), std::nullopt);
}

TEST(RenderedMessageRoles, MarksAndSentTextsDecide) {
    EXPECT_EQ(rm::renderedMessageRoles({"Hi", "Answer", "Hi"}, {}, {"Hi"}),
              (QStringList{"user", "assistant", "assistant"}));
    // A marked text is the user's even without a matching sent text, and consumes one when there is.
    EXPECT_EQ(rm::renderedMessageRoles({"Edited", "Hi", "Hi"}, {0, 2}, {"Hi"}),
              (QStringList{"user", "user", "user"}));
    EXPECT_EQ(rm::renderedMessageRoles({"Hi", "Hi"}, {0}, {"Hi"}), (QStringList{"user", "assistant"}));
    // Canonically equal texts match; out-of-range marks are ignored.
    EXPECT_EQ(rm::renderedMessageRoles({"cafe\u0301"}, {5, -1}, {"caf\u00e9"}), QStringList{"user"});
    EXPECT_TRUE(rm::renderedMessageRoles({}, {0}, {"x"}).isEmpty());
}

TEST(RenderedArchiveMessages, TrailingAnswerDroppedOnlyWhileGenerating) {
    const std::vector<M> answered{{"user", "Q"}, {"assistant", "A"}};
    EXPECT_EQ(rm::stableArchiveMessages(answered, true), (std::vector<M>{{"user", "Q"}}));
    EXPECT_EQ(rm::stableArchiveMessages(answered, false), answered);
    const std::vector<M> asked{{"assistant", "A"}, {"user", "Q"}};
    EXPECT_EQ(rm::stableArchiveMessages(asked, true), asked);
    EXPECT_TRUE(rm::stableArchiveMessages({}, true).empty());
}
