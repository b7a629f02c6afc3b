#include "core/MessageList.h"

#include <gtest/gtest.h>

using namespace quillmere;
using Message = ConversationText::Message;

namespace {

Message user(const QString& text) {
    return Message{QStringLiteral("user"), text};
}
Message assistant(const QString& text) {
    return Message{QStringLiteral("assistant"), text};
}

// Requests and replies in turn, numbered, with a request every `every` messages.
std::vector<Message> conversation(int count, int every = 2) {
    std::vector<Message> messages;
    for (int i = 0; i < count; ++i)
        messages.push_back(i % every == 0 ? user(QStringLiteral("Request %1").arg(i))
                                          : assistant(QStringLiteral("Reply %1").arg(i)));
    return messages;
}

} // namespace

TEST(MessageList, HoldsItsMessagesInOrder) {
    const std::vector<Message> messages = conversation(5);
    const MessageList list(messages);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_FALSE(list.empty());
    EXPECT_EQ(list.front(), messages.front());
    EXPECT_EQ(list.back(), messages.back());
    EXPECT_EQ(list[3], messages[3]);
    EXPECT_TRUE(std::equal(list.begin(), list.end(), messages.begin(), messages.end()));
    EXPECT_TRUE(std::equal(list.rbegin(), list.rend(), messages.rbegin(), messages.rend()));
    EXPECT_EQ(list.toVector(), messages);
    EXPECT_EQ(list, messages);
}

TEST(MessageList, AnEmptyListHasNothingToWalk) {
    for (const MessageList& empty : {MessageList(), MessageList(std::vector<Message>{}),
                                     MessageList(std::initializer_list<Message>{})}) {
        EXPECT_TRUE(empty.empty());
        EXPECT_EQ(empty.size(), 0u);
        EXPECT_EQ(empty.begin(), empty.end());
        EXPECT_EQ(empty.userCount(), 0);
        EXPECT_EQ(empty.assistantCount(), 0);
        EXPECT_TRUE(empty.latestUserIndices(8).empty());
        EXPECT_TRUE(empty.toVector().empty());
        EXPECT_EQ(empty, MessageList());
        EXPECT_TRUE(empty.isSameListAs(MessageList()));
        EXPECT_TRUE(empty.prefix(3).empty());
    }
}

TEST(MessageList, CopiesShareOneListAndAreEqualAsTheSameList) {
    const MessageList list(conversation(1000));
    const MessageList copy = list; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_TRUE(copy.isSameListAs(list));
    EXPECT_EQ(copy.begin(), list.begin());
    EXPECT_EQ(copy, list);

    // Equal messages in a list of their own are equal, but not the same list.
    const MessageList again(conversation(1000));
    EXPECT_FALSE(again.isSameListAs(list));
    EXPECT_EQ(again, list);
}

TEST(MessageList, ListsDifferByLengthOrByAnyMessage) {
    const std::vector<Message> messages = conversation(6);
    const MessageList list(messages);
    EXPECT_NE(list, MessageList(conversation(5)));
    EXPECT_NE(list, MessageList(conversation(7)));

    struct Change {
        const char* what;
        std::size_t index;
        Message message;
    };
    const Change changes[] = {
        {"the last reply's text", 5, assistant("Reply 5, edited")},
        {"the first request's text", 0, user("Request 0 ")},
        {"a role", 2, assistant("Request 2")},
        {"an empty text", 3, assistant("")},
    };
    for (const Change& change : changes) {
        std::vector<Message> changed = messages;
        changed[change.index] = change.message;
        EXPECT_NE(list, MessageList(changed)) << change.what;
        EXPECT_NE(MessageList(changed), list) << change.what;
        EXPECT_FALSE(list == changed) << change.what;
    }
}

TEST(MessageList, TextsThatReadTheSameAreEqualHoweverTheyWereComposed) {
    const QString composed = QString::fromUtf8("Make the caf\u00e9 page load faster");
    const QString decomposed = composed.normalized(QString::NormalizationForm_D);
    ASSERT_NE(composed, decomposed);
    EXPECT_EQ(MessageList({user(composed)}), MessageList({user(decomposed)}));
    EXPECT_NE(MessageList({user(composed)}), MessageList({user("Make the cafe page load faster")}));
}

TEST(MessageList, CountsRequestsAndRepliesOnlyByTheirExactRole) {
    const MessageList list({user("a"), assistant("b"), Message{"system", "c"}, Message{"User", "d"},
                            assistant("e"), user("f"), Message{"", "g"}});
    EXPECT_EQ(list.userCount(), 2);
    EXPECT_EQ(list.assistantCount(), 2);
    EXPECT_EQ(list.readableCount(), 4);
}

TEST(MessageList, ReadableMessagesAreRequestsAndRepliesWithTextThatIsNotBlank) {
    const MessageList list({user("a"), assistant(""), user(" \t\n"), Message{"system", "c"},
                            Message{"system", " "}, assistant(QString::fromUtf8("\u00a0\u3000")),
                            assistant(QString::fromUtf8(" \U0001F600 ")), user("\u200b")});
    // A zero-width space is no white space, and an emoji between blanks is text.
    EXPECT_EQ(list.readableCount(), 3);
    EXPECT_EQ(list.prefix(3).readableCount(), 1);
    EXPECT_EQ(list.prefix(7).readableCount(), 2);
    EXPECT_EQ(MessageList().readableCount(), 0);
}

TEST(MessageList, FindsTheLatestRequestsNewestFirst) {
    // Requests at 0, 3, 6, …, 27.
    const MessageList list(conversation(30, 3));
    EXPECT_EQ(list.latestUserIndices(3), (std::vector<std::size_t>{27, 24, 21}));
    EXPECT_EQ(list.latestUserIndices(1), (std::vector<std::size_t>{27}));
    EXPECT_EQ(list.latestUserIndices(0), std::vector<std::size_t>{});
    EXPECT_EQ(list.latestUserIndices(-1), std::vector<std::size_t>{});
    EXPECT_EQ(list.latestUserIndices(100).size(), 10u);
    EXPECT_EQ(list.latestUserIndices(100).back(), 0u);

    const MessageList replies({assistant("only"), assistant("replies")});
    EXPECT_TRUE(replies.latestUserIndices(8).empty());
}

TEST(MessageList, APrefixSharesTheListAndCountsOnlyItsOwnMessages) {
    const MessageList list(conversation(10));
    const MessageList head = list.prefix(5); // requests at 0, 2, 4
    ASSERT_EQ(head.size(), 5u);
    EXPECT_EQ(head.begin(), list.begin());
    EXPECT_EQ(head, MessageList(conversation(5)));
    EXPECT_FALSE(head.isSameListAs(list));
    EXPECT_TRUE(head.isSameListAs(list.prefix(5)));
    EXPECT_EQ(head.userCount(), 3);
    EXPECT_EQ(head.assistantCount(), 2);
    EXPECT_EQ(head.latestUserIndices(2), (std::vector<std::size_t>{4, 2}));
    EXPECT_EQ(head.back(), list[4]);

    EXPECT_TRUE(list.prefix(10).isSameListAs(list));
    EXPECT_TRUE(list.prefix(99).isSameListAs(list));
    EXPECT_TRUE(list.prefix(0).empty());
    EXPECT_EQ(list.prefix(0), MessageList());
}

TEST(MessageList, OutlivesTheListItWasCopiedFrom) {
    MessageList copy;
    {
        const MessageList original(conversation(4));
        copy = original.prefix(3);
    }
    EXPECT_EQ(copy, MessageList(conversation(3)));
    EXPECT_EQ(copy.userCount(), 2);
}
