#include "desktop/classification/RecommendationContext.h"

#include "core/Json.h"

#include <gtest/gtest.h>

using namespace quillmere;
namespace Context = RecommendationContext;

namespace {

ClaudeWindowTrackerConversationSnapshot
snapshotWith(std::vector<ClaudeWindowTrackerConversationMessage> messages, bool complete = true) {
    ClaudeWindowTrackerConversationSnapshot snapshot;
    snapshot.messages = std::move(messages);
    snapshot.historyComplete = complete;
    return snapshot;
}

} // namespace

TEST(ContextWindow, EligibilityIsExactRoleAndNonBlankText) {
    const auto snapshot = snapshotWith({{"system", "be nice"},
                                        {"User", "hello there"},
                                        {"user", QString::fromUtf8(" \n\t\xE2\x80\xA8\xC2\xA0")},
                                        {"user", "  first  "},
                                        {"assistant", "reply"}});
    const auto window = Context::window(snapshot);
    EXPECT_EQ(window.availableMessageCount, 2);
    ASSERT_EQ(window.messages.size(), 2u);
    EXPECT_EQ(window.messages[0].text, "  first  "); // carried unchanged
    EXPECT_TRUE(window.historyComplete);
    EXPECT_FALSE(window.isTruncated());

    const auto empty = Context::window(snapshotWith({{"system", "x"}}, false));
    EXPECT_TRUE(empty.messages.empty());
    EXPECT_EQ(empty.availableMessageCount, 0);
    EXPECT_FALSE(empty.isTruncated());
    EXPECT_FALSE(empty.historyComplete);
}

TEST(ContextWindow, TextLimitCountsUtf16UnitsAndIsStrict) {
    // Exactly 500000 code units fit; one more does not. An emoji counts two.
    const QString exact = QString(499998, QLatin1Char('a')) + QString::fromUtf8("\xF0\x9F\x98\x80");
    ASSERT_EQ(exact.size(), 500000);
    // The text limit is reached before the byte budget only for texts that encode small; plain
    // letters encode one byte each, so the budget (8000 + 500002 + 256) is not the limit here.
    EXPECT_EQ(Context::window(snapshotWith({{"user", exact}})).messages.size(), 1u);
    const auto over = Context::window(snapshotWith({{"user", exact + "b"}}));
    EXPECT_TRUE(over.messages.empty());
    EXPECT_TRUE(over.isTruncated());
    EXPECT_FALSE(over.historyComplete);
}

TEST(ContextWindow, BudgetUsesTheWritersEscapingAtItsBoundary) {
    // Each "/" is written as two bytes and each control character as six: the budget must see
    // the encoded size, not the text length.
    const qint64 room = Context::budgetLimit - Context::budgetStart - Context::perMessageOverhead - 2;
    QString text = QString(room / 6, QChar(0x01));
    text += QString(room % 6, QLatin1Char('x'));
    ASSERT_EQ(json::quoted(text).size(), room + 2);
    EXPECT_EQ(Context::window(snapshotWith({{"user", text}})).messages.size(), 1u);
    EXPECT_TRUE(Context::window(snapshotWith({{"user", text + "/"}})).messages.empty());
}

TEST(ContextWindow, ALongMessageStopsTheWalk) {
    const QString huge(600000, QLatin1Char('z'));
    const auto window = Context::window(
        snapshotWith({{"user", "old short"}, {"assistant", huge}, {"user", "newest request"}}));
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].text, "newest request");
    EXPECT_EQ(window.availableMessageCount, 3);
    EXPECT_FALSE(window.historyComplete);
}

TEST(ContextWindow, TenLargeMessagesKeepTheNewestSix) {
    std::vector<ClaudeWindowTrackerConversationMessage> messages;
    for (int i = 0; i < 10; ++i)
        messages.push_back(
            {i % 2 ? "assistant" : "user", "Message " + QString::number(i) + QString(80000, 'x')});
    const auto window = Context::window(snapshotWith(messages));
    ASSERT_EQ(window.messages.size(), 6u);
    EXPECT_TRUE(window.messages.front().text.startsWith("Message 4"));
    EXPECT_TRUE(window.messages.back().text.startsWith("Message 9"));
}

TEST(ScopeID, SafeTokensAreLoweredOthersHashTheConversation) {
    ClaudeWindowTrackerConversationSnapshot snapshot;
    snapshot.conversationScopeID = "ABC_def-123";
    EXPECT_EQ(Context::scopeID(snapshot), "abc_def-123");
    snapshot.conversationScopeID = "0f8fad5b-d9cb-469f-a165-70867728950e";
    EXPECT_EQ(Context::scopeID(snapshot), "0f8fad5b-d9cb-469f-a165-70867728950e");
    snapshot.conversationScopeID = QString(128, 'a');
    EXPECT_EQ(Context::scopeID(snapshot), QString(128, 'a'));

    snapshot.conversationID = "";
    for (const QString& bad : {QString(129, 'a'), QString(), QString("a.b"), QString("a:b"), QString("a b"),
                               QString::fromUtf8("caf\xC3\xA9"), QString::fromUtf8("\xC4\xB0")}) {
        snapshot.conversationScopeID = bad;
        EXPECT_EQ(Context::scopeID(snapshot), "local-cbf29ce484222325") << bad.toStdString();
    }
    // FNV-1a of "a" is af63dc4c8601ec8c.
    snapshot.conversationID = "a";
    EXPECT_EQ(Context::scopeID(snapshot), "local-af63dc4c8601ec8c");
}
