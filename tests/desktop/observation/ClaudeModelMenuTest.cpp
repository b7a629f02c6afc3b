#include "desktop/observation/ClaudeModelMenu.h"

#include "desktop/observation/ElementWalks.h"
#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"

#include <gtest/gtest.h>

using namespace quillmere;
using MenuState = ClaudeModelAvailability::MenuState;
using Row = ClaudeModelAvailability::MenuRow;

namespace {

const QString kRows = R"(
  {"id": "opus", "role": "AXMenuItem", "title": "Opus 5.5", "enabled": true, "actions": ["AXPress"]},
  {"id": "sonnet", "role": "AXMenuItem", "title": "Sonnet 5.5", "enabled": false, "actions": ["AXPress"]},
  {"id": "haiku", "role": "AXMenuItem", "title": "Haiku 4.5", "actions": ["AXPress"]},
  {"id": "sep", "role": "AXMenuItem", "title": "Effort"})";

// A Claude window whose picker holds `pickerChildren` and whose other button holds
// `otherChildren`.
QByteArray desktopJson(const QString& pickerChildren, const QString& otherChildren = {}) {
    return QStringLiteral(
               R"({"apps": [{"pid": 700, "bundleID": "com.anthropic.claudefordesktop", "name": "Claude",
      "active": true, "windows": [{"id": "win", "title": "Trip plans - Claude", "frame": [0, 0, 900, 700],
        "children": [
          {"id": "picker", "role": "AXPopUpButton", "title": "Opus 5.5 High", "actions": ["AXShowMenu"],
           "children": [%1]},
          {"id": "other", "role": "AXButton", "title": "Attach", "children": [%2]}
        ]}]}]})")
        .arg(pickerChildren, otherChildren)
        .toUtf8();
}

QString menu(const QString& rows, const QString& id = "menu") {
    return QStringLiteral(R"({"id": "%1", "role": "AXMenu", "children": [%2]})").arg(id, rows);
}

class ClaudeModelMenuTest : public ::testing::Test {
protected:
    ClaudeModelMenu::Reading read(const QByteArray& json, bool withPicker = true) {
        desktop = sim::SimulatedDesktop::fromJson(json, scheduler);
        desktop->install();
        const auto app = desktop->application(700);
        const QList<ax::Element> nodes = ElementWalks::flattenedElements(desktop->element("win"), 5000);
        std::optional<ax::Element> picker;
        if (withPicker)
            picker = desktop->element("picker");
        return ClaudeModelMenu::claudeModelMenuRows(*app, nodes, picker);
    }
    VirtualScheduler scheduler{10.0};
    std::unique_ptr<sim::SimulatedDesktop> desktop;
};

} // namespace

TEST_F(ClaudeModelMenuTest, NoOpenMenuIsClosedEvenWithAPicker) {
    EXPECT_EQ(read(desktopJson("")), (ClaudeModelMenu::Reading{MenuState::closed, {}}));
}

TEST_F(ClaudeModelMenuTest, ThePickersOwnCompleteMenuIsAuthoritative) {
    const auto reading = read(desktopJson(menu(kRows)));
    EXPECT_EQ(reading.state, MenuState::authoritative);
    EXPECT_EQ(reading.rows, (std::vector<Row>{{"AXMenuItem", "Opus 5.5", true},
                                              {"AXMenuItem", "Sonnet 5.5", false},
                                              {"AXMenuItem", "Haiku 4.5", std::nullopt}}));
}

TEST_F(ClaudeModelMenuTest, DoubtfulMenusArePartialButKeepTheirRows) {
    const QString more = kRows + R"(, {"role": "AXMenuItem", "title": "More   Models"})";
    auto reading = read(desktopJson(menu(more)));
    EXPECT_EQ(reading.state, MenuState::partial);
    EXPECT_EQ(reading.rows.size(), 3u);

    const QString scrolling = kRows + R"(, {"role": "AXScrollBar"})";
    EXPECT_EQ(read(desktopJson(menu(scrolling))).state, MenuState::partial);

    // A submenu inside the model menu is a second matched menu; its rows are listed twice.
    const QString nested = kRows + "," + menu(R"({"role": "AXMenuItem", "title": "Opus 5"})", "sub");
    reading = read(desktopJson(menu(nested)));
    EXPECT_EQ(reading.state, MenuState::partial);
    EXPECT_EQ(reading.rows.size(), 5u);
}

TEST_F(ClaudeModelMenuTest, AnotherControlsMenuGivesNoRows) {
    const auto reading = read(desktopJson("", menu(kRows)));
    EXPECT_EQ(reading, (ClaudeModelMenu::Reading{MenuState::partial, {}}));
    // Without a picker no menu can be matched.
    EXPECT_EQ(read(desktopJson(menu(kRows)), false), (ClaudeModelMenu::Reading{MenuState::partial, {}}));
}

TEST_F(ClaudeModelMenuTest, AMenuWithoutModelRowsIsPartial) {
    EXPECT_EQ(read(desktopJson(menu(R"({"role": "AXMenuItem", "title": "Settings"})"))).state,
              MenuState::partial);
}

TEST_F(ClaudeModelMenuTest, AMenuTooLongToReadWholeIsPartial) {
    QStringList rows{
        R"({"role": "AXMenuItem", "title": "Opus 5.5", "enabled": true, "actions": ["AXPress"]})"};
    for (int i = 0; i < 248; ++i)
        rows.append(R"({"role": "AXStaticText", "title": "x"})");
    // The menu and its 249 rows make 250 elements: one short of the cap, yet no longer vouched for.
    EXPECT_EQ(read(desktopJson(menu(rows.join(",")))).state, MenuState::partial);
    rows.removeLast();
    EXPECT_EQ(read(desktopJson(menu(rows.join(",")))).state, MenuState::authoritative);
}
