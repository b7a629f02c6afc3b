#include "core/SentMessageTree.h"

#include <gtest/gtest.h>

using namespace quillmere;
using SentMessageTree::Node;

namespace {

Node group(std::vector<int> children, bool bubble = false) {
    return Node("AXGroup", {}, std::nullopt, {}, bubble, false, std::move(children));
}
Node text(const QString& label) {
    return Node("AXStaticText", {label});
}
Node heading(const QString& label, std::vector<int> children = {}) {
    return Node("AXHeading", {label}, std::nullopt, {}, false, false, std::move(children));
}

QStringList texts(const std::vector<SentMessageTree::Message>& messages) {
    QStringList out;
    for (const auto& m : messages)
        out << m.text;
    return out;
}

} // namespace

TEST(SentMessageTreeNode, AbsentSemanticLabelsMeanTheLabels) {
    EXPECT_EQ(Node("AXButton", {"Copy"}).semanticLabels, QStringList{"Copy"});
    EXPECT_EQ(Node("AXButton", {"Copy"}, QStringList{}).semanticLabels, QStringList{});
}

TEST(SentMessageTreeExtract, MalformedTreesNeverLoopOrCrash) {
    EXPECT_TRUE(SentMessageTree::extract({}).empty());
    // Out-of-range and negative child indices are ignored.
    std::vector<Node> outOfRange = {group({1, 7, -3, 2147483647}), group({2}), heading("You said:"),
                                    text("x")};
    outOfRange[1].children = {2, 3};
    EXPECT_EQ(texts(SentMessageTree::extract(outOfRange)), QStringList{"x"});
    // A cycle back to the root and a child listed twice: each element is read once.
    std::vector<Node> cyclic = {group({1}), group({2, 3, 3, 0}), heading("ChatGPT said:", {1}),
                                text("Reply")};
    auto messages = SentMessageTree::extract(cyclic);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Reply");
    EXPECT_EQ(messages[0].role, "assistant");
    EXPECT_EQ(messages[0].root, 1);
    EXPECT_EQ(messages[0].contentRoots, std::vector<int>{3});
    // Elements that no child link reaches are not part of the window.
    std::vector<Node> orphan = {group({}), heading("You said:", {}), text("lost")};
    orphan[1].children = {2};
    EXPECT_TRUE(SentMessageTree::extract(orphan).empty());
}

TEST(SentMessageTreeExtract, DeepChainsAreWalkedWithoutRecursion) {
    // A hostile depth far beyond any call stack.
    const int depth = 200000;
    std::vector<Node> nodes;
    nodes.reserve(depth + 3);
    nodes.push_back(group({1, depth + 1}));
    for (int i = 1; i <= depth; ++i)
        nodes.push_back(group({i + 1}));
    nodes.back().children = {};
    nodes.push_back(heading("You said:"));
    nodes.push_back(text("deep"));
    nodes[0].children = {1, depth + 1, depth + 2};
    EXPECT_EQ(texts(SentMessageTree::extract(nodes)), QStringList{"deep"});
}

TEST(SentMessageTreeExtract, UnicodeAndWhiteSpaceInTexts) {
    // Paragraph texts keep their inner formatting, lose surrounding blanks, and blank-only or
    // metadata texts are skipped.
    std::vector<Node> nodes = {group({1, 2, 3, 4, 5}),      heading("  claude\u00a0RESPONDED:\n"),
                               text("\u2003 שלום עולם \n"), text(" \u00a0 "),
                               text("Copied just now"),     text("line\u2028two")};
    auto messages = SentMessageTree::extract(nodes);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "שלום עולם\nline\u2028two");
    EXPECT_EQ(messages[0].contentRoots, (std::vector<int>{2, 5}));
}

TEST(SentMessageTreeExtract, StatusLinesAreNotContentButSentencesAre) {
    std::vector<Node> nodes = {group({1, 2, 3, 4}), heading("ChatGPT said:"), text("Thought for 3 minutes"),
                               text("Thinking for 42 seconds about it"), text("thinking for 1 second")};
    EXPECT_EQ(texts(SentMessageTree::extract(nodes)), QStringList{"Thinking for 42 seconds about it"});
}

TEST(SentMessageTreeExtract, HeadingWithOnlyMetadataGivesNoMessage) {
    std::vector<Node> nodes = {group({1, 2}), heading("You said:"), text("5 minutes ago")};
    EXPECT_TRUE(SentMessageTree::extract(nodes).empty());
}

TEST(SentMessageTreeExtract, UnclaimedBubbleIsAUserMessage) {
    std::vector<Node> nodes = {Node("AXWindow", {}, std::nullopt, {}, false, false, {1, 3}), group({2}, true),
                               text("From a bubble"), text("outside")};
    auto messages = SentMessageTree::extract(nodes);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].role, "user");
    EXPECT_EQ(messages[0].root, 1);
}

TEST(SentMessageTreeExtract, HeadingsInsideControlsAndEditorsDoNotCount) {
    std::vector<Node> nodes = {group({1, 4}),
                               Node("AXMenu", {}, std::nullopt, {}, false, false, {2, 3}),
                               heading("You said:"),
                               text("menu text"),
                               Node("AXTextArea", {}, std::nullopt, {}, false, false, {5, 6}),
                               heading("ChatGPT said:"),
                               text("draft")};
    EXPECT_TRUE(SentMessageTree::extract(nodes).empty());
}

TEST(SentMessageTreeOrdinal, StrictFourWordForm) {
    EXPECT_EQ(SentMessageTree::conversationOrdinal(u"  Message\u00a07  of 7 "),
              (SentMessageTree::Ordinal{7, 7}));
    EXPECT_FALSE(SentMessageTree::conversationOrdinal(u"message 7 of 9"));
    EXPECT_FALSE(SentMessageTree::conversationOrdinal(u"Message 0 of 9"));
    EXPECT_FALSE(SentMessageTree::conversationOrdinal(u"Message +7 of 9"));
    EXPECT_FALSE(SentMessageTree::conversationOrdinal(u"Message \u0667 of 9"));
    EXPECT_FALSE(SentMessageTree::conversationOrdinal(u"Message 7 of 99999999999"));
    EXPECT_FALSE(SentMessageTree::conversationOrdinal(u""));
}

TEST(SentMessageTreePosition, AncestorLimitAndMalformedInput) {
    // The position sits six levels above the heading: one level too far.
    std::vector<Node> chain;
    for (int i = 0; i < 7; ++i)
        chain.push_back(group({i + 1}));
    chain.push_back(heading("You said:"));
    chain[0].positionLabels = {"Message 5"};
    EXPECT_FALSE(SentMessageTree::messagePosition(7, chain));
    EXPECT_EQ(SentMessageTree::messagePosition(5, chain), 5);
    chain[2].positionLabels = {"Message 0", "Message -4", "Message x", "Message 12"};
    EXPECT_EQ(SentMessageTree::messagePosition(7, chain), 12);
    EXPECT_FALSE(SentMessageTree::messagePosition(-1, chain));
    EXPECT_FALSE(SentMessageTree::messagePosition(99, chain));
    EXPECT_FALSE(SentMessageTree::messagePosition(0, {}));
    // A link back to the root cannot make the climb loop.
    std::vector<Node> cyclic = {group({1}), group({0, 2}), heading("You said:")};
    EXPECT_FALSE(SentMessageTree::messagePosition(2, cyclic));
    cyclic[0].positionLabels = {"Message 3 of 4"};
    EXPECT_EQ(SentMessageTree::messagePosition(2, cyclic), 3);
}
