#include "core/ConversationTreeWalk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

using namespace quillmere;

namespace {

// A small tree of named elements: children by name, web areas marked.
struct Tree {
    std::map<QString, std::vector<QString>> children;
    std::set<QString> webAreas;
    mutable std::vector<QString> asked;

    ConversationTreeWalk::ScanResult<QString> scan(int limit, std::set<QString> pruned = {}) const {
        return ConversationTreeWalk::scan(
            QString("root"), limit, [&](const QString& e) { return webAreas.count(e) > 0; },
            [&](const QString& e) {
                asked.push_back(e);
                auto it = children.find(e);
                return it == children.end() ? std::vector<QString>{} : it->second;
            },
            [&](const QString& e) { return pruned.count(e) > 0; });
    }
};

} // namespace

TEST(ConversationTreeWalkScan, PreOrderAndNestedWebAreas) {
    Tree t;
    t.children = {{"root", {"page", "after"}}, {"page", {"a", "nested", "b"}}, {"nested", {"hidden"}}};
    t.webAreas = {"page", "nested"};
    auto result = t.scan(100);
    EXPECT_EQ(result.elements, (std::vector<QString>{"root", "page", "a", "nested", "b", "after"}));
    EXPECT_FALSE(result.truncated);
    // The nested page's children are never even asked for.
    EXPECT_EQ(std::count(t.asked.begin(), t.asked.end(), "nested"), 0);
}

TEST(ConversationTreeWalkScan, PrunedElementsCostNothingAndLimitsAreExact) {
    Tree t;
    t.children = {{"root", {"x", "y", "z"}}, {"x", {"x1"}}};
    auto pruned = t.scan(3, {"x"});
    EXPECT_EQ(pruned.elements, (std::vector<QString>{"root", "y", "z"}));
    EXPECT_FALSE(pruned.truncated);
    auto cut = t.scan(2);
    EXPECT_EQ(cut.elements, (std::vector<QString>{"root", "x"}));
    EXPECT_TRUE(cut.truncated);
    // A pruned root leaves nothing pending.
    auto none = t.scan(5, {"root"});
    EXPECT_TRUE(none.elements.empty());
    EXPECT_FALSE(none.truncated);
    // No budget at all: the root is still pending.
    EXPECT_TRUE(t.scan(0).truncated);
    EXPECT_TRUE(t.scan(-1).elements.empty());
}

TEST(ConversationTreeWalkEmbedded, AddressRules) {
    using ConversationTreeWalk::isClaudeEmbeddedWebArea;
    EXPECT_FALSE(isClaudeEmbeddedWebArea(u"AXWebArea", std::nullopt));
    EXPECT_FALSE(isClaudeEmbeddedWebArea(u"AXWebArea", u""));
    EXPECT_FALSE(isClaudeEmbeddedWebArea(u"AXGroup", u"https://example.com/"));
    EXPECT_TRUE(isClaudeEmbeddedWebArea(u"AXWebArea", u"https://example.com/"));
    EXPECT_FALSE(isClaudeEmbeddedWebArea(u"AXWebArea", u"HTTPS://CLAUDE.AI/chat/x"));
    EXPECT_FALSE(isClaudeEmbeddedWebArea(u"AXWebArea", u"claude.ai"));
    EXPECT_FALSE(isClaudeEmbeddedWebArea(u"AXWebArea", u"https://user@www.claude.ai:443/x"));
    // Look-alike hosts are foreign pages.
    EXPECT_TRUE(isClaudeEmbeddedWebArea(u"AXWebArea", u"https://claude.ai.example.com/"));
    EXPECT_TRUE(isClaudeEmbeddedWebArea(u"AXWebArea", u"https://notclaude.ai/"));
    EXPECT_TRUE(isClaudeEmbeddedWebArea(u"AXWebArea", u"https://example.com/?next=claude.ai"));
    EXPECT_FALSE(isClaudeEmbeddedWebArea(
        u"AXWebArea", u"file:///Applications/Claude.app/Contents/Resources/app.asar/index.html"));
    EXPECT_TRUE(isClaudeEmbeddedWebArea(u"AXWebArea", u"file:///Users/example/index.html"));
}
