#include "desktop/observation/ClaudeWindowTracker.h"

#include "platform/events/WindowList.h"
#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"

#include <gtest/gtest.h>

using namespace quillmere;
using Tracker = ClaudeWindowTracker;

namespace {

const char* const kElements = R"({
  "apps": [{"pid": 501, "bundleID": "com.openai.chat", "name": "ChatGPT", "active": true,
    "windows": [{"id": "window", "children": [
      {"id": "send", "role": "AXButton", "title": "Send", "description": "", "value": "Send", "actions": ["AXPress"]},
      {"id": "model", "role": "AXButton", "title": "Model", "description": "GPT-6", "value": "Model"},
      {"id": "spaced", "title": " Send ", "description": "Send"},
      {"id": "titleFails", "title": "Hidden", "description": "Shown", "errors": {"AXTitle": "cannotComplete"}},
      {"id": "odd", "title": 42, "description": {"attributed": "Styled"}, "value": {"url": "https://chatgpt.com/c/Ab?x=1#F"}},
      {"id": "relative", "attributes": {"AXURL": {"url": "c/abc", "absolute": false}}},
      {"id": "disabledPress", "enabled": false, "actions": ["AXPress"]},
      {"id": "pickOnly", "actions": ["AXPick", "AXShowMenu"]},
      {"id": "menuOnly", "actions": ["AXShowMenu"]},
      {"id": "zeroEnabled", "enabled": 0, "actions": ["AXPress"]},
      {"id": "oneEnabled", "enabled": 1, "actions": ["AXPress"]},
      {"id": "twoEnabled", "enabled": 2, "actions": ["AXPress"]},
      {"id": "textEnabled", "enabled": "false", "actions": ["AXPress"]},
      {"id": "actionsFail", "actions": ["AXPress"], "errors": {"$actionNames": "cannotComplete"}},
      {"id": "values", "attributes": {
         "AXNumber": 7, "AXFlag": true, "AXReal": {"real": 2.5}, "AXOne": "single",
         "AXClasses": ["bg-user-message", "group"], "AXMixed": ["a", 1], "AXEmpty": null,
         "AXSize": {"size": [120, 24]}, "AXPosition": {"point": [10, 20]}, "AXFrame": {"rect": [1, 2, 3, 4]}}}
    ]}]}]
})";

class AccessibilityReadingTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop = sim::SimulatedDesktop::fromJson(kElements, scheduler);
        desktop->install();
    }
    ax::Element el(const char* id) { return desktop->element(QString::fromLatin1(id)); }

    VirtualScheduler scheduler;
    std::unique_ptr<sim::SimulatedDesktop> desktop;
};

TEST_F(AccessibilityReadingTest, LabelsDropEmptyAndRepeatedPartsWithoutTrimming) {
    EXPECT_EQ(Tracker::elementLabel(el("send")), "Send");
    EXPECT_EQ(Tracker::elementLabel(el("model")), "Model GPT-6");
    EXPECT_EQ(Tracker::elementLabel(el("spaced")), " Send  Send");
    EXPECT_EQ(Tracker::elementLabel(el("titleFails")), "Shown");
    // A number is no text; attributed text and URLs are.
    EXPECT_EQ(Tracker::elementLabel(el("odd")), "Styled https://chatgpt.com/c/Ab?x=1#F");
    EXPECT_EQ(Tracker::elementLabel(el("values")), "");
    EXPECT_EQ(Tracker::elementLabel(ax::Element()), "");
}

TEST_F(AccessibilityReadingTest, StringReadersKeepUrlsByteForByte) {
    EXPECT_EQ(Tracker::stringAttribute("AXValue", el("odd")), "https://chatgpt.com/c/Ab?x=1#F");
    EXPECT_EQ(Tracker::stringAttribute("AXURL", el("relative")), std::nullopt);
    EXPECT_EQ(Tracker::stringAttribute("AXTitle", el("odd")), std::nullopt);
    EXPECT_EQ(Tracker::stringAttribute("AXEmpty", el("values")), std::nullopt);
    EXPECT_EQ(Tracker::stringAttribute("AXMissing", el("values")), std::nullopt);
    EXPECT_EQ(Tracker::stringAttribute("AXDescription", el("send")), "");
    EXPECT_EQ(Tracker::stringFromAccessibilityValue(ax::Value(ax::Point{1, 2})), std::nullopt);
}

TEST_F(AccessibilityReadingTest, IdentityReadsNumbersAsTheirText) {
    EXPECT_EQ(Tracker::identityAttribute("AXNumber", el("values")), "7");
    EXPECT_EQ(Tracker::identityAttribute("AXFlag", el("values")), "1");
    EXPECT_EQ(Tracker::identityAttribute("AXReal", el("values")), "2.5");
    EXPECT_EQ(Tracker::identityAttribute("AXOne", el("values")), "single");
    EXPECT_EQ(Tracker::identityAttribute("AXClasses", el("values")), std::nullopt);
    EXPECT_EQ(Tracker::identityAttribute("AXEmpty", el("values")), std::nullopt);
}

TEST_F(AccessibilityReadingTest, StringValuesAcceptOnlyTextOrListsOfText) {
    EXPECT_EQ(Tracker::stringValues("AXOne", el("values")), QStringList{"single"});
    EXPECT_EQ(Tracker::stringValues("AXClasses", el("values")), QStringList({"bg-user-message", "group"}));
    EXPECT_EQ(Tracker::stringValues("AXNumber", el("values")), QStringList());
    EXPECT_EQ(Tracker::stringValues("AXMixed", el("values")), QStringList());
    EXPECT_EQ(Tracker::stringValues("AXMissing", el("values")), QStringList());
}

TEST_F(AccessibilityReadingTest, GeometryReadersWantTheirOwnKind) {
    EXPECT_EQ(Tracker::sizeAttribute("AXSize", el("values")), (ax::Size{120, 24}));
    EXPECT_EQ(Tracker::pointAttribute("AXPosition", el("values")), (ax::Point{10, 20}));
    EXPECT_EQ(Tracker::sizeAttribute("AXPosition", el("values")), std::nullopt);
    EXPECT_EQ(Tracker::pointAttribute("AXSize", el("values")), std::nullopt);
    EXPECT_EQ(Tracker::sizeAttribute("AXFrame", el("values")), std::nullopt);
}

TEST_F(AccessibilityReadingTest, PressabilityFollowsEnabledAndThePrimaryAction) {
    EXPECT_TRUE(Tracker::canPress(el("send")));
    EXPECT_FALSE(Tracker::canPress(el("disabledPress")));
    EXPECT_TRUE(Tracker::canPress(el("pickOnly")));
    EXPECT_EQ(Tracker::primarySelectionAction(el("pickOnly")), "AXPick");
    EXPECT_FALSE(Tracker::canPress(el("menuOnly")));
    EXPECT_FALSE(Tracker::canPress(el("model")));
    // Numbers 0 and 1 are Booleans on this platform; other values are not.
    EXPECT_FALSE(Tracker::canPress(el("zeroEnabled")));
    EXPECT_TRUE(Tracker::canPress(el("oneEnabled")));
    EXPECT_TRUE(Tracker::canPress(el("twoEnabled")));
    EXPECT_TRUE(Tracker::canPress(el("textEnabled")));
    EXPECT_EQ(Tracker::availableActions(el("actionsFail")), QStringList());
    EXPECT_FALSE(Tracker::canPress(el("actionsFail")));
}

TEST_F(AccessibilityReadingTest, StaleElementsReadAsAbsent) {
    const ax::Element send = el("send");
    desktop->terminate(501);
    EXPECT_EQ(Tracker::elementLabel(send), "");
    EXPECT_FALSE(Tracker::canPress(send));
}

RunningApplication app(std::optional<QString> bundle, std::optional<QString> name) {
    return RunningApplication{std::move(bundle), std::move(name), 42, false, false};
}

TEST(CandidateFilter, KnownBundlesDecideThenNames) {
    const Tracker any;
    EXPECT_EQ(any.candidate(app("com.openai.codex", "Codex"))->provider, AIProvider::openAI);
    EXPECT_EQ(any.candidate(app("COM.Anthropic.Claude", std::nullopt))->provider, AIProvider::claude);
    // A known bundle wins over the name.
    EXPECT_EQ(any.candidate(app("com.openai.chat", "Claude"))->provider, AIProvider::openAI);
    EXPECT_EQ(any.candidate(app("org.example.notes", "Claude Notes"))->provider, AIProvider::claude);
    EXPECT_EQ(any.candidate(app(std::nullopt, "my chatgpt helper"))->provider, AIProvider::openAI);
    EXPECT_EQ(any.candidate(app(std::nullopt, "ChatGPT for Claude"))->provider, AIProvider::claude);
    EXPECT_FALSE(any.candidate(app("org.example.editor", "Editor")));
    EXPECT_FALSE(any.candidate(app(std::nullopt, std::nullopt)));
}

TEST(CandidateFilter, PinnedTrackerTakesOnlyItsHost) {
    const Tracker pinned(QStringLiteral("com.openai.chat"));
    EXPECT_FALSE(pinned.candidate(app("org.example.notes", "Claude Notes")));
    EXPECT_FALSE(pinned.candidate(app(std::nullopt, "ChatGPT")));
    EXPECT_FALSE(pinned.candidate(app("com.openai.codex", "Codex")));
    EXPECT_EQ(pinned.candidate(app("com.openai.chat", "ChatGPT"))->provider, AIProvider::openAI);
    EXPECT_EQ(pinned.candidate(app("Com.OpenAI.Chat", "ChatGPT"))->provider, AIProvider::openAI);
    // Pinned with mixed case, the host is still found.
    const Tracker mixed(QStringLiteral("Com.OpenAI.Chat"));
    EXPECT_EQ(mixed.requiredBundleID(), "Com.OpenAI.Chat");
    EXPECT_TRUE(mixed.candidate(app("com.openai.chat", "ChatGPT")));
    // Pinned to an unknown bundle, the name still gives the family.
    const Tracker notes(QStringLiteral("org.example.notes"));
    EXPECT_EQ(notes.candidate(app("org.example.notes", "Claude Notes"))->provider, AIProvider::claude);
}

TEST(CandidateFilter, SupportedBundleTable) {
    ASSERT_EQ(Tracker::supportedBundleIDs.size(), 5u);
    EXPECT_EQ(Tracker::supportedBundleIDs.at("com.anthropic.claudefordesktop"), AIProvider::claude);
    EXPECT_EQ(Tracker::supportedBundleIDs.at("com.openai.chatgpt"), AIProvider::openAI);
}

TEST(WindowListMatch, OnlyNumericOwnerAndLayerZero) {
    auto entry = [](QVariant owner, QVariant layer) {
        QVariantMap map;
        if (owner.isValid())
            map.insert(windowinfo::ownerPID, owner);
        if (layer.isValid())
            map.insert(windowinfo::layer, layer);
        return map;
    };
    EXPECT_TRUE(Tracker::windowListEntryMatches(entry(501, 0), 501));
    EXPECT_TRUE(Tracker::windowListEntryMatches(entry(qint64(501), 0.0), 501));
    EXPECT_FALSE(Tracker::windowListEntryMatches(entry(501, 3), 501));
    EXPECT_FALSE(Tracker::windowListEntryMatches(entry(502, 0), 501));
    EXPECT_FALSE(Tracker::windowListEntryMatches(entry("501", 0), 501));
    EXPECT_FALSE(Tracker::windowListEntryMatches(entry(501, "0"), 501));
    EXPECT_FALSE(Tracker::windowListEntryMatches(entry(QVariant(), 0), 501));
    EXPECT_FALSE(Tracker::windowListEntryMatches(entry(501, QVariant()), 501));
    EXPECT_FALSE(Tracker::windowListEntryMatches(entry(qint64(501) + (qint64(1) << 32), 0), 501));
}

} // namespace
