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

namespace {

// The tree walked again with the children of chosen elements read a stretch at a time, counting
// what each stretch hands over.
struct StretchedWalk {
    const Tree& tree;
    std::set<QString> stretched, pruned;
    int handedOver = 0;
    std::vector<std::pair<QString, int>> places; // each stretch's element and the place given with it

    ConversationTreeWalk::ScanResult<QString> scan(int limit) {
        ConversationTreeWalk::ScanResult<QString> result;
        ConversationTreeWalk::VisitedSet<QString> visited;
        ConversationTreeWalk::scan(
            result, visited, QString("root"), limit,
            [&](const QString& e) { return tree.webAreas.count(e) > 0; },
            [&](const QString& e) {
                EXPECT_EQ(stretched.count(e), 0u)
                    << "a stretched list was asked for whole: " << e.toStdString();
                auto it = tree.children.find(e);
                return it == tree.children.end() ? std::vector<QString>{} : it->second;
            },
            [&](const QString& e) { return pruned.count(e) > 0; },
            [&](const QString& e) {
                if (!stretched.count(e))
                    return -1;
                auto it = tree.children.find(e);
                return it == tree.children.end() ? 0 : int(it->second.size());
            },
            [&](const QString& e, int place, int from, int count) {
                places.emplace_back(e, place);
                EXPECT_GE(from, 0);
                EXPECT_GT(count, 0);
                std::vector<QString> part;
                auto it = tree.children.find(e);
                if (it != tree.children.end())
                    for (int i = from; i < int(it->second.size()) && i < from + count; ++i)
                        part.push_back(it->second[std::size_t(i)]);
                handedOver += int(part.size());
                return part;
            });
        return result;
    }
};

std::vector<QString> numbered(const QString& prefix, int count) {
    std::vector<QString> names;
    for (int i = 0; i < count; ++i)
        names.push_back(prefix + QString::number(i));
    return names;
}

} // namespace

TEST(ConversationTreeWalkScan, ListsReadAStretchAtATimeGiveTheWalkOfWholeLists) {
    // Each case: the tree, the elements whose children come in stretches, the pruned ones, and
    // the limit. The walk must be the one the same tree gives read whole.
    struct Case {
        const char* name;
        Tree tree;
        std::set<QString> stretched, pruned;
        int limit;
    };
    Tree messages; // a conversation of 2,000 messages of two elements each
    messages.children["root"] = {"top", "page", "composer"};
    messages.children["page"] = numbered("m", 2000);
    for (const QString& m : messages.children["page"])
        messages.children[m] = {m + ".text"};
    messages.webAreas = {"page"};
    Tree repeats; // after its own children, the list names met elements again, many times over
    repeats.children["root"] = {"list"};
    repeats.children["list"] = {"a", "b"};
    for (int i = 0; i < 700; ++i)
        repeats.children["list"].insert(repeats.children["list"].end(), {"a", "list", "root"});
    Tree mixed; // repeats, pruned elements and a nested page inside the long list
    mixed.children["root"] = {"list", "after"};
    mixed.children["list"] = numbered("x", 600);
    mixed.children["list"][3] = "x1";
    mixed.children["list"][10] = "inner";
    mixed.children["list"].push_back("after");
    mixed.children["x2"] = {"x5", "deep"};
    mixed.children["inner"] = {"hidden"};
    mixed.webAreas = {"list", "inner"};
    Tree boundary; // a list that ends exactly where a stretch does
    boundary.children["root"] = {"list"};
    boundary.children["list"] = numbered("b", ConversationTreeWalk::stretchLength);
    Tree empty;
    empty.children["root"] = {"leaf", "other"};
    const std::vector<Case> cases = {
        {"cut early in a long list", messages, {"page"}, {}, 100},
        {"cut late in a long list", messages, {"page"}, {}, 3001},
        {"room for everything", messages, {"page"}, {}, 10000},
        {"exactly full", messages, {"page"}, {}, 4004},
        {"one short of full", messages, {"page"}, {}, 4003},
        {"rest only met elements", repeats, {"list"}, {}, 4},
        {"rest only met elements, root stretched too", repeats, {"list", "root"}, {}, 4},
        {"rest not met", repeats, {"list"}, {}, 3},
        {"pruned and nested", mixed, {"list"}, {"x7", "x300"}, 250},
        {"pruned and nested, room", mixed, {"list"}, {"x7", "x300"}, 1000},
        {"a stretch's boundary", boundary, {"list"}, {}, 258},
        {"a stretch's boundary, cut", boundary, {"list"}, {}, 257},
        {"no children", empty, {"leaf"}, {}, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto whole = c.tree.scan(c.limit, c.pruned);
        StretchedWalk walk{c.tree, c.stretched, c.pruned};
        const auto stretched = walk.scan(c.limit);
        EXPECT_EQ(stretched.elements, whole.elements);
        EXPECT_EQ(stretched.truncated, whole.truncated);
        // Each stretch comes with its element's place in the walk.
        for (const auto& [element, place] : walk.places) {
            ASSERT_GE(place, 0);
            ASSERT_LT(place, int(stretched.elements.size()));
            EXPECT_EQ(stretched.elements[std::size_t(place)], element);
        }
    }
}

TEST(ConversationTreeWalkScan, AStretchedListIsReadNoFurtherThanTheWalkReaches) {
    Tree t;
    t.children["root"] = {"page"};
    t.children["page"] = numbered("m", 50000);
    StretchedWalk walk{t, {"page"}, {}};
    const auto result = walk.scan(1000);
    EXPECT_EQ(result.elements.size(), 1000u);
    EXPECT_TRUE(result.truncated);
    // What the walk visited, and one more to tell that the list goes on.
    EXPECT_EQ(walk.handedOver, 999);
    // A list whose rest names only elements met already is read to its end to say so.
    Tree repeated;
    repeated.children["root"] = {"page"};
    repeated.children["page"] = {"a"};
    repeated.children["page"].insert(repeated.children["page"].end(), 5000, "page");
    StretchedWalk again{repeated, {"page"}, {}};
    const auto met = again.scan(3);
    EXPECT_FALSE(met.truncated);
    EXPECT_EQ(again.handedOver, 5001);
}

TEST(ConversationTreeWalkScan, AHostAnsweringPastItsListsLengthIsReadNoFurther) {
    // The host says the list has 10 children, then hands over a full stretch, whatever is asked,
    // of the element itself: the walk ends, and reads no more than the 10 it was told of.
    for (int limit : {2, 5, 100}) {
        SCOPED_TRACE(limit);
        ConversationTreeWalk::ScanResult<QString> result;
        ConversationTreeWalk::VisitedSet<QString> visited;
        int asked = 0;
        ConversationTreeWalk::scan(
            result, visited, QString("root"), limit, [](const QString&) { return false; },
            [](const QString&) { return std::vector<QString>{"only"}; }, [](const QString&) { return false; },
            [](const QString& e) { return e == "root" ? 10 : -1; },
            [&](const QString&, int, int from, int count) {
                EXPECT_LE(from + count, 10);
                asked += count;
                return std::vector<QString>(std::size_t(ConversationTreeWalk::stretchLength), "root");
            });
        EXPECT_EQ(result.elements, std::vector<QString>{"root"});
        EXPECT_FALSE(result.truncated);
        EXPECT_LE(asked, 10);
    }
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
