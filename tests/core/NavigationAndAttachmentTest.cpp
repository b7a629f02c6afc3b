#include "core/AttachmentSignal.h"
#include "core/NavigationScope.h"

#include <gtest/gtest.h>

using namespace quillmere;
using SentMessageTree::Node;

TEST(NavigationScopeIndices, LabelledRegionsAndMalformedTrees) {
    std::vector<Node> nodes = {Node("AXWindow", {}, std::nullopt, {}, false, false, {1, 3, 42, -1}),
                               Node("AXGroup", {"  Sidebar "}, std::nullopt, {}, false, false, {2, 0}),
                               Node("AXRow", {"Chat"}, std::nullopt, {}, false, false, {1}),
                               Node("AXGroup", {"Sidebar settings"})};
    EXPECT_EQ(NavigationScope::indices(nodes), (std::set<int>{1, 2}));
    EXPECT_TRUE(NavigationScope::indices({}).empty());
}

TEST(NavigationScopeSelection, CurrentValuesAndLeaves) {
    EXPECT_TRUE(NavigationScope::isCurrent(u" TRUE "));
    EXPECT_FALSE(NavigationScope::isCurrent(u"false"));
    EXPECT_FALSE(NavigationScope::isCurrent(u""));
    EXPECT_FALSE(NavigationScope::isCurrent(u"location"));
    // One class-list string works as well as separate tokens.
    EXPECT_TRUE(NavigationScope::isActiveSidebarRow({"flex sidebar-item bg-primary-ghost-hover"}));
    EXPECT_FALSE(NavigationScope::isActiveSidebarRow({"sidebar-item-bg-primary-ghost-hover"}));
    // Cycles and stray indices in the selection are handled.
    std::vector<Node> cyclic = {Node("AXGroup", {}, std::nullopt, {}, false, false, {1}),
                                Node("AXGroup", {}, std::nullopt, {}, false, false, {0})};
    EXPECT_EQ(NavigationScope::selectedLeaves(cyclic, {1, 7, -2}), (std::set<int>{1}));
    EXPECT_TRUE(NavigationScope::selectedLeaves(cyclic, {0, 1}).empty());
}

TEST(AttachmentSignal, OnlyConcreteAttachmentsOutsideTheSourcesPanel) {
    using AttachmentSignal::isConcrete;
    for (const char* label : {"An attachment can be uploaded later",
                              "Quillmere can’t assess the attached file", "You said: fix attachment handling",
                              "Assistant responded: uploaded file: test.png", "Attached file: report.pdf"})
        EXPECT_FALSE(isConcrete(u"AXStaticText", {label}, false)) << label;
    for (const char* label : {"Add attachments", "Upload file", "Attach file", "Choose attachment", "Add"})
        EXPECT_FALSE(isConcrete(u"AXButton", {label}, false)) << label;
    EXPECT_TRUE(isConcrete(u"AXButton", {"Remove attachment report.pdf"}, false));
    EXPECT_TRUE(isConcrete(u"AXImage", {"Attached file: report.pdf"}, false));
    EXPECT_FALSE(isConcrete(u"AXButton", {"Remove attachment report.pdf"}, true));
    // Case, surrounding blanks and a later label are all read.
    EXPECT_TRUE(isConcrete(u"AXLink", {"Open", "  UPLOADED\u00a0FILE: notes.txt"}, false));
    EXPECT_TRUE(isConcrete(u"AXGroup", {"attachment:"}, false));
    EXPECT_FALSE(isConcrete(u"AXCell", {"Remove file"}, false));
    EXPECT_FALSE(isConcrete(u"AXButton", {}, false));
    // Labels that begin with blanks, other white space or a non-ASCII letter are still read whole.
    EXPECT_TRUE(isConcrete(u"AXButton", {"\t  remove FILE notes.txt"}, false));
    EXPECT_TRUE(isConcrete(u"AXButton", {"\u2003Remove image"}, false));
    EXPECT_FALSE(isConcrete(u"AXButton", {"(Remove file)", "Copy", "1 attachment:"}, false));
}
