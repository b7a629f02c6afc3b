#include "desktop/observation/ClaudeWindowTracker.h"

#include "RepeatingChildrenBackend.h"

#include "platform/accessibility/Backend.h"
#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace quillmere;
using quillmere::testing::RepeatingChildrenBackend;
using Tracker = ClaudeWindowTracker;

namespace {

QJsonObject node(const QString& id, QJsonArray children = {}, QJsonObject extra = {}) {
    extra.insert("id", id);
    if (!children.isEmpty())
        extra.insert("children", children);
    return extra;
}

// A chain of `depth` groups below `top`, named prefix1 … prefixN, the last holding `leaf`.
QJsonObject chain(const QString& prefix, int depth, QJsonObject leaf) {
    QJsonObject current = leaf;
    for (int level = depth; level >= 1; --level)
        current = node(prefix + QString::number(level), {current}, {{"role", "AXGroup"}});
    return current;
}

class ElementWalksTest : public ::testing::Test {
protected:
    void load(const QJsonArray& windowChildren, QJsonObject appExtra = {}, QJsonArray otherApps = {}) {
        QJsonObject window = node("window", windowChildren, {{"role", "AXWindow"}});
        QJsonObject app{{"pid", 501}, {"name", "ChatGPT"}, {"active", true}, {"windows", QJsonArray{window}}};
        for (auto it = appExtra.begin(); it != appExtra.end(); ++it)
            app.insert(it.key(), it.value());
        QJsonArray apps{app};
        for (const QJsonValue& other : otherApps)
            apps.append(other);
        desktop =
            sim::SimulatedDesktop::fromJson(QJsonDocument(QJsonObject{{"apps", apps}}).toJson(), scheduler);
        desktop->install();
    }
    ax::Element el(const QString& id) { return desktop->element(id); }
    QStringList ids(const QList<ax::Element>& elements) {
        QStringList out;
        for (const ax::Element& e : elements)
            out << (desktop->idOf(e).isEmpty() ? QStringLiteral("<app>") : desktop->idOf(e));
        return out;
    }
    RunningApplication host() { return *Workspace::current().application(501); }

    VirtualScheduler scheduler;
    std::unique_ptr<sim::SimulatedDesktop> desktop;
};

TEST_F(ElementWalksTest, CapKeepsTheRootAndTheFirstDescendantsInPreOrder) {
    QJsonArray groups;
    QStringList preorder{"root"};
    for (const QString g : {"a", "b", "c"}) {
        QJsonArray leaves;
        preorder << g;
        for (int i = 1; i <= (g == "a" ? 7 : 10); ++i) {
            leaves.append(node(g + QString::number(i)));
            preorder << g + QString::number(i);
        }
        groups.append(node(g, leaves));
    }
    load({node("root", groups)});
    ASSERT_EQ(preorder.size(), 31); // the root and 30 descendants
    EXPECT_EQ(ids(Tracker::flattenedElements(el("root"), 24)), preorder.mid(0, 24));
    EXPECT_EQ(ids(Tracker::flattenedElements(el("root"), 1000)), preorder);
    EXPECT_EQ(ids(Tracker::flattenedInteractiveElements(el("root"), 24)), preorder.mid(0, 24));
    EXPECT_TRUE(Tracker::flattenedElements(el("root"), 0).isEmpty());
}

TEST_F(ElementWalksTest, LinkedElementsAreListedOnceAtTheirFirstVisit) {
    // z is y's child and also linked from x, which comes first.
    load({node("root", {node("x", {}, {{"lists", QJsonObject{{"AXLinkedUIElements", QJsonArray{"z"}}}}}),
                        node("y", {node("z")})})});
    EXPECT_EQ(ids(Tracker::flattenedInteractiveElements(el("root"), 100)),
              QStringList({"root", "x", "z", "y"}));
    // The plain walk follows children only, and repeats nothing because nothing repeats there.
    EXPECT_EQ(ids(Tracker::flattenedElements(el("root"), 100)), QStringList({"root", "x", "y", "z"}));

    desktop->setHashCollisions(true);
    EXPECT_EQ(ids(Tracker::flattenedInteractiveElements(el("root"), 100)),
              QStringList({"root", "x", "z", "y"}));
}

TEST_F(ElementWalksTest, ChildrenComeInAttributeOrderThenListOrder) {
    // "AXRows" is read last and "AXVisibleChildren" second, whatever order the file lists them in;
    // a single element counts; a list with anything but elements counts for nothing.
    load({node("root", {node("child")},
               {{"lists", QJsonObject{{"AXRows", QJsonArray{"row1", "row2"}},
                                      {"AXVisibleChildren", QJsonArray{"vis"}}}},
                {"attributes",
                 QJsonObject{{"AXContents", QJsonObject{{"element", "content"}}},
                             {"AXSelectedChildren", QJsonArray{QJsonObject{{"element", "ignored"}}, 3}}}}}),
          node("row1"), node("row2"), node("vis"), node("content"), node("ignored")});
    EXPECT_EQ(ids(Tracker::flattenedInteractiveElements(el("root"), 100)),
              QStringList({"root", "child", "vis", "content", "row1", "row2"}));
}

TEST_F(ElementWalksTest, WindowsAreFollowedFromTheRootOnly) {
    const QJsonObject windows{{"AXWindows", QJsonArray{QJsonObject{{"element", "far"}}}}};
    load({node("outer", {node("inner", {}, {{"attributes", windows}})}), node("far")});
    EXPECT_EQ(ids(Tracker::flattenedInteractiveElements(el("inner"), 100)), QStringList({"inner", "far"}));
    EXPECT_EQ(ids(Tracker::flattenedInteractiveElements(el("outer"), 100)), QStringList({"outer", "inner"}));
}

TEST_F(ElementWalksTest, UnreadableRootGivesJustTheRoot) {
    load({node("root", {node("hidden")}, {{"errors", QJsonObject{{"AXChildren", "cannotComplete"}}}})});
    EXPECT_EQ(ids(Tracker::flattenedElements(el("root"), 10)), QStringList({"root"}));
    EXPECT_EQ(ids(Tracker::flattenedInteractiveElements(el("root"), 10)), QStringList({"root"}));
}

TEST_F(ElementWalksTest, FocusInsideTheWindowGivesOneRoot) {
    load({node("picker", {}, {{"role", "AXPopUpButton"}}), node("field", {}, {{"focused", true}})});
    const QList<ax::Element> surface = Tracker::optionSurfaceElements(host(), 8000);
    EXPECT_EQ(ids(surface), QStringList({"<app>", "window", "picker", "field"}));
    EXPECT_EQ(surface, Tracker::flattenedInteractiveElements(ax::createApplication(501), 8000));
}

TEST_F(ElementWalksTest, FocusBeyondAnUnreadableParentAddsItsSubtree) {
    // The popover is reachable only upwards from the focused row: its own parent link fails.
    QJsonObject popover = node("popover", {node("row", {}, {{"focused", true}}), node("row2")},
                               {{"errors", QJsonObject{{"AXParent", "cannotComplete"}}}});
    load({node("picker", {}, {{"lists", QJsonObject{{"AXExtras", QJsonArray{popover}}}}})});
    EXPECT_EQ(ids(Tracker::optionSurfaceElements(host(), 8000)),
              QStringList({"<app>", "window", "picker", "popover", "row", "row2"}));
    // The cap holds across both roots.
    EXPECT_EQ(ids(Tracker::optionSurfaceElements(host(), 4)),
              QStringList({"<app>", "window", "picker", "popover"}));
}

TEST_F(ElementWalksTest, ClimbStopsAfterSixteenParents) {
    // A popover reachable only upwards from its focused leaf: twenty levels below the picker,
    // which lists it under an attribute no walk follows. From the leaf, sixteen steps up reach
    // deep5, whose subtree (deep5 to deep20 and the leaf) is the second root's; one step more or
    // less would list one element more or less.
    load({node(
        "picker", {},
        {{"lists", QJsonObject{{"AXExtras",
                                QJsonArray{chain("deep", 20, node("leaf", {}, {{"focused", true}}))}}}}})});
    QStringList expected{"<app>", "window", "picker"};
    for (int level = 5; level <= 20; ++level)
        expected << "deep" + QString::number(level);
    expected << "leaf";
    EXPECT_EQ(ids(Tracker::optionSurfaceElements(host(), 8000)), expected);
}

TEST_F(ElementWalksTest, AnElementListingItselfOrOthersAgainStaysWithinTheCap) {
    load({node("looping", {node("inner")}), node("after")});
    RepeatingChildrenBackend repeating(*desktop);
    std::vector<ax::Element> loop(3000, el("looping"));
    loop.push_back(el("inner"));
    repeating.list(el("looping"), loop);
    // The plain walk lists what it meets, repeats included, and stops at its cap.
    const QList<ax::Element> plain = Tracker::flattenedElements(el("looping"), 300);
    ASSERT_EQ(plain.size(), 300);
    EXPECT_EQ(plain.count(el("looping")), 300);
    // The interactive walk lists each element once.
    EXPECT_EQ(ids(Tracker::flattenedInteractiveElements(el("window"), 6000)),
              QStringList({"window", "looping", "inner", "after"}));
}

TEST_F(ElementWalksTest, FocusInAnotherProcessIsIgnored) {
    QJsonObject other{{"pid", 600},
                      {"name", "Other"},
                      {"focus", "otherField"},
                      {"windows", QJsonArray{node("otherWindow", {node("otherField")})}}};
    load({node("field")}, {}, {other});
    ASSERT_TRUE(Workspace::current().activate(600));
    EXPECT_EQ(ids(Tracker::optionSurfaceElements(host(), 8000)), QStringList({"<app>", "window", "field"}));
}

TEST_F(ElementWalksTest, PickerNeedsAPickerRoleAndAModelLabel) {
    load({node("popup", {}, {{"role", "AXPopUpButton"}, {"title", "Opus 5"}}),
          node("text", {}, {{"role", "AXStaticText"}, {"title", "Opus 5"}}),
          node("plain", {}, {{"role", "AXButton"}, {"title", "Send"}}),
          node("menuButton", {}, {{"role", "AXMenuButton"}, {"description", "GPT-5.6 Sol"}})});
    EXPECT_TRUE(Tracker::isModelPicker(el("popup")));
    EXPECT_FALSE(Tracker::isModelPicker(el("text")));
    EXPECT_FALSE(Tracker::isModelPicker(el("plain")));
    EXPECT_TRUE(Tracker::isModelPicker(el("menuButton")));
}

TEST_F(ElementWalksTest, ChoiceLabelReadsTheTextsInsideTheControl) {
    load({node("control",
               {node("name", {}, {{"role", "AXStaticText"}, {"value", "Sonnet 5"}}),
                node("icon", {}, {{"role", "AXImage"}, {"description", "chevron"}}),
                node("empty", {}, {{"role", "AXStaticText"}}),
                node("mode", {}, {{"role", "AXStaticText"}, {"value", "Thinking"}})},
               {{"role", "AXButton"}, {"title", "Model"}}),
          node("named", {node("inner", {}, {{"role", "AXStaticText"}, {"value", "Other"}})},
               {{"role", "AXButton"}, {"title", "Opus 5"}})});
    EXPECT_EQ(Tracker::controlChoiceLabel(el("control")), "Sonnet 5 Thinking");
    EXPECT_EQ(Tracker::controlChoiceLabel(el("named")), "Opus 5");
}

TEST_F(ElementWalksTest, ChoiceLabelLooksAtMostTwentyFourElementsDeep) {
    QJsonArray texts;
    for (int i = 1; i <= 30; ++i)
        texts.append(
            node("t" + QString::number(i), {}, {{"role", "AXStaticText"}, {"value", QString::number(i)}}));
    load({node("control", texts, {{"role", "AXButton"}, {"title", "Model"}})});
    QStringList expected;
    for (int i = 1; i <= 23; ++i)
        expected << QString::number(i);
    EXPECT_EQ(Tracker::controlChoiceLabel(el("control")), expected.join(' '));
}

TEST_F(ElementWalksTest, SourcesPanelNamesMatchWithAnySpacing) {
    load({node("panel", {chain("level", 7, node("tooDeep"))},
               {{"role", "AXGroup"}, {"title", QString::fromUtf8("  Conversation \u00a0\t Sources ")}}),
          node("sidebar", {node("item")}, {{"description", "SIDEBAR"}}),
          node("other", {node("leaf")}, {{"title", "Sources panel"}})});
    EXPECT_TRUE(Tracker::isInSourcesPanel(el("panel")));
    EXPECT_TRUE(Tracker::isInSourcesPanel(el("level7"))); // the eighth element of the climb
    EXPECT_FALSE(Tracker::isInSourcesPanel(el("tooDeep")));
    EXPECT_TRUE(Tracker::isInSourcesPanel(el("item")));
    EXPECT_FALSE(Tracker::isInSourcesPanel(el("leaf")));
}

TEST_F(ElementWalksTest, MenuTestClimbsTwelveElements) {
    load({node("menu", {chain("m", 11, node("tooDeep"))}, {{"role", "AXMenu"}}),
          node("broken", {node("below", {}, {{"errors", QJsonObject{{"AXParent", "invalidUIElement"}}}})},
               {{"role", "AXMenu"}})});
    EXPECT_TRUE(Tracker::isInAXMenu(el("menu")));
    EXPECT_TRUE(Tracker::isInAXMenu(el("m11")));
    EXPECT_FALSE(Tracker::isInAXMenu(el("tooDeep")));
    EXPECT_FALSE(Tracker::isInAXMenu(el("below")));
    EXPECT_FALSE(Tracker::isInAXMenu(el("window")));
}

// Every element's attributes are read a bounded number of times, whatever the tree's size.
TEST(ElementWalkCost, BackendCallsPerElementAreBounded) {
    VirtualScheduler scheduler;
    sim::SimulatedDesktop desktop(scheduler);
    desktop.addApplication(501, QStringLiteral("com.openai.chat"), QStringLiteral("ChatGPT"), true);
    const quint64 window = desktop.addWindow(501, QStringLiteral("window"), {});
    for (int group = 0; group < 100; ++group) {
        const quint64 g = desktop.addNode(window, 501, QString(), {{"AXRole", ax::Value("AXGroup")}});
        for (int leaf = 0; leaf < 40; ++leaf)
            desktop.addNode(g, 501, group == 99 && leaf == 39 ? QStringLiteral("leaf") : QString(),
                            {{"AXRole", ax::Value("AXButton")}});
    }
    desktop.install();
    // Focus the last leaf, so the option surface climbs from it too.
    ASSERT_EQ(ax::setAttributeValue(desktop.element("leaf"), "AXFocused", true), ax::Error::success);

    desktop.resetCallCounts();
    const int elements = 1 + 100 * 41;
    EXPECT_EQ(Tracker::flattenedInteractiveElements(desktop.element("window"), 8000).size(), elements);
    EXPECT_LE(desktop.maxReadsPerNode(), 8u);
    EXPECT_LE(desktop.callCounts().attributeReads, quint64(elements) * 7 + 1);

    desktop.resetCallCounts();
    const RunningApplication host = *Workspace::current().application(501);
    EXPECT_EQ(Tracker::optionSurfaceElements(host, 8000).size(), elements + 1);
    // Eight child attributes at most, and one parent read on the climb from the focus.
    EXPECT_LE(desktop.maxReadsPerNode(), 9u);
    EXPECT_LE(desktop.callCounts().attributeReads, quint64(elements + 1) * 7 + 16);
    EXPECT_EQ(desktop.callCounts().actionNameReads, 0u);
}

} // namespace
