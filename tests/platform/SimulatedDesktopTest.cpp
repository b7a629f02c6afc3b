#include "platform/simulated/SimulatedDesktop.h"

#include "platform/accessibility/Backend.h"
#include "platform/events/EventPoster.h"
#include "platform/events/WindowList.h"
#include "platform/tasks/Scheduler.h"
#include "platform/workspace/Workspace.h"

#include "support/FifoGuard.h"
#include "support/ForwardingBackend.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;
using quillmere::sim::SimulatedDesktop;

namespace {

// A host window with a picker whose menu opens 0.3 s after "AXShowMenu", a text field that takes
// keys, and a second host in the background.
const char* const kDesktop = R"({
  "apps": [
    {"pid": 501, "bundleID": "com.openai.chat", "name": "ChatGPT", "active": true,
     "focus": "field",
     "windows": [
       {"id": "main", "title": "Trip plans", "frame": [0, 0, 800, 600],
        "children": [
          {"id": "picker", "role": "AXPopUpButton", "title": "GPT-5.6 Sol", "frame": [100, 40, 120, 24],
           "actions": [{"name": "AXShowMenu", "do": {"do": "attach", "template": "menu", "under": "$self", "after": 0.3}},
                       {"name": "AXPress", "do": {"do": "fail", "error": "cannotComplete"}}]},
          {"id": "field", "role": "AXTextArea", "frame": [0, 500, 800, 100],
           "keys": {"36": {"do": "set", "target": "field", "attribute": "AXValue", "value": "sent"}}},
          {"id": "send", "role": "AXButton", "title": "Send", "frame": [700, 560, 60, 30],
           "actions": [{"name": "AXPress", "do": {"do": "changeConversation", "title": "New chat"}}]}
        ]}
     ]},
    {"pid": 777, "name": "Claude", "bundleID": "com.anthropic.claudefordesktop",
     "windows": [{"id": "claudeWindow", "title": "Claude", "frame": [50, 50, 400, 300], "layer": 0}]}
  ],
  "templates": {
    "menu": {"id": "menu", "role": "AXMenu", "frame": [100, 64, 200, 60],
             "children": [
               {"id": "luna", "role": "AXMenuItem", "title": "GPT-5.6 Luna", "frame": [100, 64, 200, 30],
                "actions": [{"name": "AXPress", "do": [
                   {"do": "set", "target": "picker", "attribute": "AXTitle", "value": "GPT-5.6 Luna"},
                   {"do": "closeMenus"}]}]},
               {"id": "terra", "role": "AXMenuItem", "title": "GPT-5.6 Terra", "frame": [100, 94, 200, 30],
                "actions": ["AXPress"]}
             ]}
  },
  "windowList": [{"kCGWindowOwnerPID": "501", "kCGWindowLayer": 0}]
})";

class SimulatedDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop = SimulatedDesktop::fromJson(kDesktop, scheduler);
        desktop->install();
    }
    void TearDown() override { desktop.reset(); }

    QString read(const ax::Element& element, const QString& attribute) {
        ax::Value value;
        if (ax::copyAttributeValue(element, attribute, value) != ax::Error::success || !value.string())
            return QStringLiteral("<none>");
        return *value.string();
    }

    VirtualScheduler scheduler{100.0};
    std::unique_ptr<SimulatedDesktop> desktop;
};

TEST_F(SimulatedDesktopTest, EveryReadHandsOutAFreshHandleForTheSameElement) {
    const ax::Element app = ax::createApplication(501);
    ax::Value windows;
    ASSERT_EQ(ax::copyAttributeValue(app, "AXWindows", windows), ax::Error::success);
    ax::Value windowsAgain;
    ASSERT_EQ(ax::copyAttributeValue(app, "AXWindows", windowsAgain), ax::Error::success);
    const ax::Element first = *windows.list()->at(0).element();
    const ax::Element second = *windowsAgain.list()->at(0).element();
    EXPECT_EQ(first, second);
    EXPECT_EQ(qHash(first), qHash(second));
    EXPECT_NE(first.handleSerial(), second.handleSerial());

    ax::Value parent;
    ASSERT_EQ(ax::copyAttributeValue(desktop->element("picker"), "AXParent", parent), ax::Error::success);
    EXPECT_EQ(*parent.element(), first);
    ax::Value appParent;
    ASSERT_EQ(ax::copyAttributeValue(first, "AXParent", appParent), ax::Error::success);
    EXPECT_EQ(*appParent.element(), app);
}

TEST_F(SimulatedDesktopTest, MenuOpensAfterItsDelayAndGoesStaleWhenClosed) {
    const ax::Element picker = desktop->element("picker");
    EXPECT_EQ(ax::performAction(picker, "AXShowMenu"), ax::Error::success);
    EXPECT_FALSE(desktop->isLive("menu"));
    scheduler.advance(0.29);
    EXPECT_FALSE(desktop->isLive("menu"));
    scheduler.advance(0.02);
    ASSERT_TRUE(desktop->isLive("menu"));

    const ax::Element luna = desktop->element("luna");
    const ax::Element menu = desktop->element("menu");
    ax::Value parent;
    ASSERT_EQ(ax::copyAttributeValue(menu, "AXParent", parent), ax::Error::success);
    EXPECT_EQ(*parent.element(), picker);

    EXPECT_EQ(ax::performAction(luna, "AXPress"), ax::Error::success);
    EXPECT_EQ(read(picker, "AXTitle"), "GPT-5.6 Luna");
    EXPECT_FALSE(desktop->isLive("menu"));
    ax::Value value;
    EXPECT_EQ(ax::copyAttributeValue(luna, "AXTitle", value), ax::Error::invalidUIElement);
    EXPECT_EQ(ax::copyActionNames(luna, value), ax::Error::invalidUIElement);
    EXPECT_EQ(ax::performAction(luna, "AXPress"), ax::Error::invalidUIElement);

    // Opening again makes new elements; the old handles stay stale.
    ax::performAction(picker, "AXShowMenu");
    scheduler.advance(0.5);
    EXPECT_TRUE(desktop->isLive("luna"));
    EXPECT_NE(desktop->element("luna"), luna);
    EXPECT_EQ(ax::copyAttributeValue(luna, "AXTitle", value), ax::Error::invalidUIElement);

    EXPECT_EQ(desktop->journal().lines(),
              QStringList({"action AXShowMenu picker", "action AXPress luna",
                           "action AXPress luna -> invalidUIElement", "action AXShowMenu picker"}));
}

TEST_F(SimulatedDesktopTest, FailingAndUnlistedActionsHaveNoEffect) {
    const ax::Element picker = desktop->element("picker");
    EXPECT_EQ(ax::performAction(picker, "AXPress"), ax::Error::cannotComplete);
    EXPECT_EQ(ax::performAction(picker, "AXPick"), ax::Error::actionUnsupported);
    scheduler.advance(1);
    EXPECT_FALSE(desktop->isLive("menu"));
    ax::Value names;
    ASSERT_EQ(ax::copyActionNames(picker, names), ax::Error::success);
    EXPECT_EQ(names, ax::Value::strings({"AXShowMenu", "AXPress"}));
}

TEST_F(SimulatedDesktopTest, KeysReachTheFocusedElementOfTheProcess) {
    EventPoster& events = EventPoster::current();
    events.postToPid(501, *events.createKeyboardEvent(virtualkey::returnKey, true));
    events.postToPid(501, *events.createKeyboardEvent(virtualkey::returnKey, false));
    EXPECT_EQ(read(desktop->element("field"), "AXValue"), "sent");
    EXPECT_EQ(desktop->journal().lines(), QStringList({"key 501 36 down", "key 501 36 up"}));

    // Moving focus by setting "AXFocused" reroutes keys.
    ASSERT_EQ(ax::setAttributeValue(desktop->element("picker"), "AXFocused", true), ax::Error::success);
    EXPECT_EQ(desktop->focusedElement(501), desktop->element("picker"));
    ax::Value focused;
    ASSERT_EQ(ax::copyAttributeValue(ax::createSystemWide(), "AXFocusedUIElement", focused),
              ax::Error::success);
    EXPECT_EQ(*focused.element(), desktop->element("picker"));
}

TEST_F(SimulatedDesktopTest, EscapeClosesTheNewestOpenMenuAndFocusReturns) {
    ax::performAction(desktop->element("picker"), "AXShowMenu");
    scheduler.advance(0.3);
    ASSERT_TRUE(desktop->isLive("menu"));
    ASSERT_EQ(ax::setAttributeValue(desktop->element("terra"), "AXFocused", true), ax::Error::success);
    EventPoster::current().postToPid(501, KeyEvent{virtualkey::escape, true});
    EXPECT_FALSE(desktop->isLive("menu"));
    EXPECT_EQ(desktop->focusedElement(501), desktop->element("picker"));
}

TEST_F(SimulatedDesktopTest, HiddenAndMinimisedWindowsLeaveTheScreen) {
    desktop->hide(777);
    QList<qint32> owners;
    for (const QVariantMap& entry : WindowList::current().copyWindowInfo(windowinfo::optionOnScreenOnly))
        owners << entry.value(windowinfo::ownerPID).toInt();
    EXPECT_EQ(owners, QList<qint32>({501, 501})); // the malformed extra entry stays
    EXPECT_EQ(WindowList::current().copyWindowInfo(0).size(), 3);
    ASSERT_EQ(ax::setAttributeValue(desktop->element("main"), "AXMinimized", true), ax::Error::success);
    EXPECT_EQ(WindowList::current().copyWindowInfo(windowinfo::optionOnScreenOnly).size(), 1);
}

TEST_F(SimulatedDesktopTest, ClickRunsTheNodeUnderThePointer) {
    ax::performAction(desktop->element("picker"), "AXShowMenu");
    scheduler.advance(0.3);
    EventPoster& events = EventPoster::current();
    const QPointF onLuna(150, 70);
    events.post(*events.createMouseEvent(MouseEventType::mouseMoved, onLuna));
    events.post(*events.createMouseEvent(MouseEventType::leftMouseDown, onLuna));
    events.post(*events.createMouseEvent(MouseEventType::leftMouseUp, onLuna));
    EXPECT_EQ(read(desktop->element("picker"), "AXTitle"), "GPT-5.6 Luna");
    EXPECT_EQ(desktop->journal().lines(sim::JournalEntry::Kind::mouse),
              QStringList({"mouse moved 150,70", "mouse down 150,70 luna", "mouse up 150,70 luna"}));
    EXPECT_EQ(*events.pointerLocation(), onLuna);

    // The send button is the deepest node at its point, not the window around it.
    events.post(MouseEvent{MouseEventType::leftMouseDown, {710, 570}});
    events.post(MouseEvent{MouseEventType::leftMouseUp, {710, 570}});
    EXPECT_EQ(read(desktop->element("main"), "AXTitle"), "New chat");
}

TEST_F(SimulatedDesktopTest, WindowListKeepsMalformedEntriesAsGiven) {
    const QList<QVariantMap> entries = WindowList::current().copyWindowInfo(
        windowinfo::optionOnScreenOnly | windowinfo::optionExcludeDesktopElements);
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].value(windowinfo::ownerPID).toInt(), 501); // the active host comes first
    EXPECT_EQ(entries[0].value(windowinfo::ownerPID).typeId(), QMetaType::Int);
    EXPECT_EQ(entries[1].value(windowinfo::ownerPID).toInt(), 777);
    EXPECT_EQ(entries[2].value(windowinfo::ownerPID).typeId(), QMetaType::QString);
}

TEST_F(SimulatedDesktopTest, ActivationIsJournalledAndAnnounced) {
    QList<qint32> announced;
    QObject::connect(&Workspace::current(), &Workspace::didActivateApplication,
                     [&](const RunningApplication& app) { announced.append(app.processIdentifier); });
    EXPECT_TRUE(Workspace::current().activate(777));
    EXPECT_FALSE(Workspace::current().activate(9999));
    EXPECT_EQ(announced, QList<qint32>({777}));
    EXPECT_EQ(Workspace::current().frontmostApplication()->processIdentifier, 777);
    EXPECT_EQ(desktop->journal().lines(), QStringList({"activate 777", "activate 9999 -> failure"}));
    // The system-wide focus follows the frontmost application, which has no focused element.
    ax::Value focused;
    EXPECT_EQ(ax::copyAttributeValue(ax::createSystemWide(), "AXFocusedUIElement", focused),
              ax::Error::noValue);
}

TEST_F(SimulatedDesktopTest, UntrustedProcessReadsNothing) {
    desktop->setTrusted(false);
    ax::Value value;
    EXPECT_EQ(ax::copyAttributeValue(desktop->element("picker"), "AXTitle", value), ax::Error::apiDisabled);
    EXPECT_FALSE(ax::isProcessTrusted());
    EXPECT_FALSE(ax::isProcessTrustedWithPrompt(true));
    EXPECT_EQ(desktop->journal().lines(), QStringList({"trust prompt"}));
}

TEST_F(SimulatedDesktopTest, ManyAttributesInOneRequestReadAsOneByOne) {
    auto forced = SimulatedDesktop::fromJson(R"({"apps": [{"pid": 9, "bundleID": "b", "active": true,
      "windows": [{"id": "w", "title": "Window", "children": [
        {"id": "x", "role": "AXGroup", "description": "Message 1 of 2",
         "attributes": {"AXDOMClassList": ["a", "user-message"], "AXHelp": 7},
         "errors": {"AXTitle": "cannotComplete"}, "children": [{"id": "y", "role": "AXStaticText"}]}]}]}]})",
                                             scheduler);
    forced->install();
    const QList<QString> attributes{"AXRole",   "AXTitle",    "AXDescription", "AXDOMClassList", "AXHelp",
                                    "AXParent", "AXChildren", "AXFocused",     "AXNoSuchThing",  "AXRole"};
    // One pair of buffers for every request, as a walk reuses them: what one element gave must
    // not show through where the next has nothing.
    std::vector<ax::Value> values;
    std::vector<ax::Error> errors;
    const auto compare = [&](const ax::Element& element) {
        const quint64 before = forced->callCounts().attributeReads;
        ax::copyMultipleAttributeValues(element, attributes, values, errors);
        // Each attribute counts as a read, as it does one by one (the null element reaches no host).
        EXPECT_EQ(forced->callCounts().attributeReads - before,
                  element.isNull() ? 0 : quint64(attributes.size()));
        ASSERT_EQ(values.size(), std::size_t(attributes.size()));
        ASSERT_EQ(errors.size(), std::size_t(attributes.size()));
        for (qsizetype i = 0; i < attributes.size(); ++i) {
            ax::Value one;
            const ax::Error error = ax::copyAttributeValue(element, attributes[i], one);
            EXPECT_EQ(errors[std::size_t(i)], error) << attributes[i].toStdString();
            EXPECT_EQ(values[std::size_t(i)].describe(), one.describe()) << attributes[i].toStdString();
        }
    };
    compare(forced->element("x"));
    compare(forced->element("y"));
    compare(forced->element("w"));
    compare(ax::createSystemWide());
    compare(ax::Element());
    // A stale element and an untrusted process fail every attribute alike.
    const ax::Element x = forced->element("x");
    forced->terminate(9);
    compare(x);
    forced->setTrusted(false);
    compare(forced->element("w"));
    values = {ax::Value("left over")};
    ax::copyMultipleAttributeValues(x, {}, values, errors);
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(errors.empty());
    forced.reset();
    desktop->install();
}

TEST_F(SimulatedDesktopTest, PartOfAListIsTheWholeListCut) {
    auto lists = SimulatedDesktop::fromJson(R"({"apps": [{"pid": 9, "bundleID": "b", "active": true,
      "windows": [{"id": "w", "title": "Window", "children": [
        {"id": "x", "role": "AXGroup", "attributes": {"AXDOMClassList": ["a", "b", "c"]},
         "lists": {"AXContents": [{"id": "l1"}, {"id": "l2"}]},
         "children": [{"id": "c1"}, {"id": "c2", "actions": [{"name": "AXCancel", "do": {"do": "detach", "target": "$self"}}]},
                      {"id": "c3"}, {"id": "c4"}, {"id": "c5"}]},
        {"id": "refused", "errors": {"AXChildren": "cannotComplete"}, "children": [{"id": "r1"}]}]}]}]})",
                                            scheduler);
    lists->install();
    // The second child goes: a list counts and hands over only the live ones.
    ASSERT_EQ(ax::performAction(lists->element("c2"), "AXCancel"), ax::Error::success);
    const ax::Element x = lists->element("x");
    const std::vector<std::pair<ax::Element, QString>> reads = {
        {x, "AXChildren"},
        {x, "AXContents"},
        {x, "AXDOMClassList"},
        {x, "AXRole"},
        {x, "AXNoSuch"},
        {lists->element("refused"), "AXChildren"},
        {lists->element("w"), "AXChildren"},
        {ax::createSystemWide(), "AXRole"},
        {ax::createSystemWide(), "AXNoSuch"},
        {ax::createApplication(9), "AXWindows"},
        {ax::Element(), "AXChildren"},
    };
    const std::vector<std::pair<qsizetype, qsizetype>> parts = {{0, 2}, {1, 2}, {2, 100}, {3, 1}, {4, 1},
                                                                {9, 3}, {0, 0}, {-1, 2},  {0, -1}};
    // The same reads through a backend that has no ways of its own to read part of a list.
    quillmere::testing::ForwardingBackend wholeOnly(*lists);
    const auto check = [&] {
        for (const auto& [element, attribute] : reads) {
            ax::Value whole;
            const ax::Error wholeError = ax::copyAttributeValue(element, attribute, whole);
            qsizetype count = -1;
            const ax::Error countError = ax::getAttributeValueCount(element, attribute, count);
            SCOPED_TRACE(attribute.toStdString() + " of " + whole.describe().toStdString());
            ax::Backend::setCurrent(&wholeOnly);
            qsizetype defaultCount = -1;
            EXPECT_EQ(ax::getAttributeValueCount(element, attribute, defaultCount), countError);
            EXPECT_EQ(defaultCount, count);
            ax::Backend::setCurrent(lists.get());
            if (wholeError != ax::Error::success) {
                EXPECT_EQ(countError, wholeError);
            } else if (!whole.list()) {
                EXPECT_EQ(countError, ax::Error::illegalArgument);
            } else {
                EXPECT_EQ(countError, ax::Error::success);
                EXPECT_EQ(count, qsizetype(whole.list()->size()));
            }
            for (const auto& [index, maxValues] : parts) {
                SCOPED_TRACE(QString("%1+%2").arg(index).arg(maxValues).toStdString());
                ax::Value part("left over"), cut("left over"), byDefault("left over");
                const quint64 listedBefore = lists->callCounts().listedChildren;
                const ax::Error error = ax::copyAttributeValues(element, attribute, index, maxValues, part);
                const quint64 listed = lists->callCounts().listedChildren - listedBefore;
                ax::Error expected = wholeError;
                if (element.isNull() || index < 0 || maxValues < 0)
                    expected = ax::Error::illegalArgument;
                else if (wholeError == ax::Error::success)
                    expected = ax::listPart(whole, index, maxValues, cut);
                EXPECT_EQ(error, expected);
                EXPECT_EQ(part.describe(), expected == ax::Error::success ? cut.describe() : QString("null"));
                if (attribute == "AXChildren" || attribute == "AXContents") {
                    EXPECT_EQ(listed, expected == ax::Error::success ? part.list()->size() : 0u);
                }
                ax::Backend::setCurrent(&wholeOnly);
                EXPECT_EQ(ax::copyAttributeValues(element, attribute, index, maxValues, byDefault), error);
                EXPECT_EQ(byDefault.describe(), part.describe());
                ax::Backend::setCurrent(lists.get());
            }
        }
    };
    check();
    // A stale element and an untrusted process refuse parts as they refuse the whole.
    lists->terminate(9);
    check();
    lists->setTrusted(false);
    check();
    lists.reset();
    desktop->install();
}

TEST_F(SimulatedDesktopTest, CollisionModeKeepsElementsDistinct) {
    desktop->setHashCollisions(true);
    const ax::Element picker = desktop->element("picker");
    const ax::Element send = desktop->element("send");
    EXPECT_EQ(qHash(picker), qHash(send));
    EXPECT_NE(picker, send);
}

TEST_F(SimulatedDesktopTest, PendingReactionsDieWithTheDesktop) {
    ax::performAction(desktop->element("picker"), "AXShowMenu");
    desktop.reset();
    scheduler.advance(1); // must not touch the destroyed desktop
    EXPECT_FALSE(scheduler.hasPendingTimers());
    EXPECT_FALSE(ax::isProcessTrusted());
}

TEST(SimulatedDesktopBehaviour, DetachingTakesElementsListedOnlyElsewhereToo) {
    VirtualScheduler scheduler;
    auto desktop = SimulatedDesktop::fromJson(R"({"apps": [{"pid": 9, "windows": [{"id": "w", "children": [
        {"id": "panel", "lists": {"AXContents": [{"id": "inner"}]},
         "actions": [{"name": "AXCancel", "do": {"do": "detach", "target": "$self"}}]}]}]}]})",
                                              scheduler);
    desktop->install();
    const ax::Element inner = desktop->element("inner");
    ax::Value parent;
    ASSERT_EQ(ax::copyAttributeValue(inner, "AXParent", parent), ax::Error::success);
    EXPECT_EQ(*parent.element(), desktop->element("panel"));
    ax::performAction(desktop->element("panel"), "AXCancel");
    EXPECT_EQ(ax::copyAttributeValue(inner, "AXParent", parent), ax::Error::invalidUIElement);
}

TEST(SimulatedDesktopBehaviour, BadReferenceInATemplateLeavesNothingBehind) {
    VirtualScheduler scheduler;
    auto desktop = SimulatedDesktop::fromJson(R"({
      "apps": [{"pid": 9, "active": true, "windows": [{"id": "w", "children": [
        {"id": "opener", "actions": [{"name": "AXPress", "do": {"do": "attach", "template": "broken"}}]}]}]}],
      "templates": {"broken": {"id": "popover", "attributes": {"AXLinkedUIElements": {"element": "ghost"}}}}
    })",
                                              scheduler);
    desktop->install();
    EXPECT_EQ(ax::performAction(desktop->element("opener"), "AXPress"), ax::Error::success);
    EXPECT_FALSE(desktop->isLive("popover"));
    ax::Value children;
    ASSERT_EQ(ax::copyAttributeValue(desktop->element("w"), "AXChildren", children), ax::Error::success);
    EXPECT_EQ(children.list()->size(), 1u);
}

TEST(SimulatedDesktopBehaviour, TerminationMakesEveryElementStaleAndIsAnnounced) {
    VirtualScheduler scheduler;
    auto desktop = SimulatedDesktop::fromJson(
        R"({"apps": [{"pid": 9, "name": "Host", "active": true, "windows": [{"id": "w", "frame": [0, 0, 10, 10]}]}]})",
        scheduler);
    desktop->install();
    QStringList heard;
    QObject::connect(desktop.get(), &Workspace::didTerminateApplication,
                     [&](const RunningApplication& app) { heard << *app.localizedName; });
    const ax::Element window = desktop->element("w");
    desktop->terminate(9);
    ax::Value value;
    EXPECT_EQ(ax::copyAttributeValue(window, "AXRole", value), ax::Error::invalidUIElement);
    EXPECT_EQ(heard, QStringList{"Host"});
    EXPECT_TRUE(Workspace::current().runningApplications().isEmpty());
    EXPECT_TRUE(WindowList::current().copyWindowInfo(windowinfo::optionOnScreenOnly).isEmpty());
}

TEST(NoSimulatedDesktop, HasNoHostsAndNoTrust) {
    EXPECT_FALSE(ax::isProcessTrusted());
    EXPECT_TRUE(Workspace::current().runningApplications().isEmpty());
    EXPECT_TRUE(WindowList::current().copyWindowInfo(0).isEmpty());
    EXPECT_FALSE(EventPoster::current().createKeyboardEvent(49, true));
    ax::Value value;
    EXPECT_NE(ax::copyAttributeValue(ax::createApplication(1), "AXRole", value), ax::Error::success);
}

TEST(SimulatedDesktopEnvironment, UnsetVariableInstallsNothing) {
    qunsetenv(SimulatedDesktop::environmentVariable);
    QString error;
    EXPECT_EQ(SimulatedDesktop::installFromEnvironment(&error), nullptr);
    EXPECT_TRUE(error.isEmpty());
}

TEST(SimulatedDesktopEnvironment, BrokenFileIsReportedNotInstalled) {
    qputenv(SimulatedDesktop::environmentVariable, "/nonexistent/desktop.json");
    QString error;
    EXPECT_EQ(SimulatedDesktop::installFromEnvironment(&error), nullptr);
    qunsetenv(SimulatedDesktop::environmentVariable);
    EXPECT_TRUE(error.contains("/nonexistent/desktop.json")) << error.toStdString();
    EXPECT_FALSE(ax::isProcessTrusted());
}

TEST(SimulatedDesktopEnvironment, AFifoInPlaceOfTheFixtureIsReportedWithoutBlocking) {
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath("desktop.json"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    qputenv(SimulatedDesktop::environmentVariable, fifo);
    QString error;
    std::unique_ptr<SimulatedDesktop> desktop;
    EXPECT_TRUE(quillmere::testing::returnsWithoutBlocking(
        fifo, [&] { desktop = SimulatedDesktop::installFromEnvironment(&error); }));
    qunsetenv(SimulatedDesktop::environmentVariable);
    EXPECT_EQ(desktop, nullptr);
    EXPECT_TRUE(error.contains("not a regular file")) << error.toStdString();
}

TEST(DesktopFixtureLoading, MenusPresentFromTheStartCloseWithTheirOwnApplicationOnly) {
    VirtualScheduler scheduler;
    auto desktop = SimulatedDesktop::fromJson(R"({"apps": [
      {"pid": 10, "active": true, "windows": [{"id": "w10", "children": [
        {"id": "menuA", "menu": true}, {"id": "keep", "role": "AXMenu"}]}]},
      {"pid": 11, "windows": [{"id": "w11", "children": [{"id": "menuB", "menu": true}]}]}]})",
                                              scheduler);
    desktop->install();
    EXPECT_TRUE(desktop->isLive("menuA"));
    EventPoster::current().postToPid(10, KeyEvent{virtualkey::escape, true});
    EXPECT_FALSE(desktop->isLive("menuA")) << "not a menu opened at start";
    EXPECT_TRUE(desktop->isLive("keep"));
    EXPECT_TRUE(desktop->isLive("menuB"));
}

// A fixture error names the field at fault.
std::string loadError(const char* json) {
    VirtualScheduler scheduler;
    try {
        SimulatedDesktop::fromJson(json, scheduler);
    } catch (const sim::FixtureError& error) {
        return error.what();
    }
    return "loaded";
}

TEST(DesktopFixtureErrors, NameTheBadField) {
    EXPECT_EQ(loadError("{"), "not valid JSON at offset 1: unterminated object");
    EXPECT_EQ(loadError("[]"), "the fixture must be a JSON object");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1, "windows": [{"children": [{"frame": [1, 2, 3]}]}]}]})"),
              "apps[0].windows[0].children[0].frame: expected an array of 4 numbers");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1}, {"pid": 1}]})"), "apps[1].pid: pid 1 is used twice");
    EXPECT_EQ(loadError(R"({"apps": [{"name": "x"}]})"), "apps[0].pid: missing");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": -4}]})"),
              "apps[0].pid: expected a whole number from 1 to 2147483647");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1, "windows": [{"titel": "x"}]}]})"),
              "apps[0].windows[0].titel: unknown field");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1, "windows": [{"actions": [{"name": "AXPress",
                 "do": {"do": "attach", "template": "nope"}}]}]}]})"),
              "apps[0].windows[0].actions[0].do.template: no template \"nope\"");
    EXPECT_EQ(
        loadError(
            R"({"apps": [{"pid": 1, "windows": [{"attributes": {"AXLinkedUIElements": {"element": "ghost"}}}]}]})"),
        "apps[0].windows[0].attributes.AXLinkedUIElements.element: no node with id \"ghost\"");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1, "windows": [{"errors": {"AXTitle": "oops"}}]}]})"),
              "apps[0].windows[0].errors.AXTitle: unknown error \"oops\"");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1, "windows": [{"keys": {"esc": []}}]}]})"),
              "apps[0].windows[0].keys.esc: expected a virtual key code");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1, "focus": "elsewhere"}]})"),
              "apps[0].focus: no element \"elsewhere\" in this application");
    EXPECT_EQ(loadError(R"({"templates": {"m": {"children": 3}}})"),
              "templates.m.children: expected a list of elements");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1, "windows": [{"value": {"point": [1]}}]}]})"),
              "apps[0].windows[0].value.point: expected an array of 2 numbers");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1, "active": true}, {"pid": 2, "active": true}]})"),
              "apps[1].active: only one application can be active");
    EXPECT_EQ(loadError(R"({"apps": [{"pid": 1, "windows": [{"actions": [{"name": "AXPress",
                 "do": {"do": "set", "target": "x"}}]}]}]})"),
              "apps[0].windows[0].actions[0].do.attribute: set needs an attribute");
}

TEST(DesktopFixtureErrors, DeepTreesLoadOrFailCleanly) {
    // Nesting up to the JSON reader's limit builds; beyond it the file is refused, never a crash.
    auto nested = [](int depth) {
        QByteArray tree = "{}";
        for (int i = 0; i < depth; ++i)
            tree = "{\"children\": [" + tree + "]}";
        return "{\"apps\": [{\"pid\": 1, \"windows\": [" + tree + "]}]}";
    };
    VirtualScheduler scheduler;
    EXPECT_NO_THROW(SimulatedDesktop::fromJson(nested(400), scheduler));
    EXPECT_THROW(SimulatedDesktop::fromJson(nested(5000), scheduler), sim::FixtureError);
}

TEST(SimulatedDesktopBehaviour, EventCreationAndPointerCanFail) {
    VirtualScheduler scheduler;
    auto desktop = SimulatedDesktop::fromJson(
        R"({"events": {"keyboardFails": true, "mouseFails": true, "pointerFails": true}, "apps": [{"pid": 3}]})",
        scheduler);
    desktop->install();
    EXPECT_FALSE(EventPoster::current().createKeyboardEvent(virtualkey::space, true));
    EXPECT_FALSE(EventPoster::current().createMouseEvent(MouseEventType::mouseMoved, {1, 1}));
    EXPECT_FALSE(EventPoster::current().pointerLocation());
}

TEST(SimulatedDesktopBehaviour, AttributeNamesAndRefusedWrites) {
    VirtualScheduler scheduler;
    auto desktop = SimulatedDesktop::fromJson(R"({"apps": [{"pid": 3, "windows": [
        {"id": "w", "title": "T", "attributes": {"AXDOMIdentifier": "x"}, "setErrors": {"AXFocused": "attributeUnsupported"},
         "lists": {"AXLinkedUIElements": []}},
        {"id": "hidden", "errors": {"$attributeNames": "cannotComplete"}}]}]})",
                                              scheduler);
    desktop->install();
    ax::Value names;
    ASSERT_EQ(ax::copyAttributeNames(desktop->element("w"), names), ax::Error::success);
    EXPECT_EQ(names, ax::Value::strings({"AXChildren", "AXDOMIdentifier", "AXFocused", "AXLinkedUIElements",
                                         "AXParent", "AXRole", "AXTitle"}));
    EXPECT_EQ(ax::copyAttributeNames(desktop->element("hidden"), names), ax::Error::cannotComplete);
    EXPECT_EQ(ax::setAttributeValue(desktop->element("w"), "AXFocused", true),
              ax::Error::attributeUnsupported);
    EXPECT_TRUE(desktop->focusedElement(3).isNull());
    EXPECT_EQ(desktop->journal().lines(), QStringList{"set AXFocused=true w -> attributeUnsupported"});
}

} // namespace
