#include "desktop/observation/RenderedMessages.h"

#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace quillmere;
namespace rm = quillmere::RenderedMessages;

namespace {

const char* const kDesktop =
    R"({"apps": [{"pid": 501, "bundleID": "com.openai.chat", "name": "ChatGPT", "active": true,
  "windows": [{"id": "win", "title": "Chat", "children": [
    {"id": "l5", "role": "AXGroup", "description": "Message 9", "children": [
     {"id": "l4", "role": "AXGroup", "children": [
      {"id": "l3", "role": "AXGroup", "title": "Message 3 of 10", "identifier": "conversation-turn-3",
       "attributes": {"AXARIAPosInSet": 3, "AXARIASetSize": "10", "ChromeAXNodeId": 4711}, "children": [
       {"id": "l2", "role": "AXGroup", "title": "Message 12 of", "description": "message 3", "children": [
        {"id": "l1", "role": "AXGroup", "description": "Message 0", "children": [
         {"id": "bubble", "role": "AXGroup", "attributes": {"AXDOMClassList": ["flex", "BG-User-Message"]},
          "children": [{"id": "leaf", "role": "AXStaticText", "value": "Hi"}]}]}]}]}]}]},
    {"id": "plain", "role": "AXGroup", "help": "assistant turn", "identifier": "user-messages-list"},
    {"id": "deep6", "role": "AXGroup", "description": "Message 5", "children": [
     {"role": "AXGroup", "children": [{"role": "AXGroup", "children": [{"role": "AXGroup", "children": [
      {"role": "AXGroup", "children": [{"role": "AXGroup", "children": [
       {"id": "deepLeaf", "role": "AXStaticText", "value": "x"}]}]}]}]}]}]}
  ]}]}]})";

class RenderedElementsTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop = sim::SimulatedDesktop::fromJson(kDesktop, scheduler);
        desktop->install();
    }
    ax::Element e(const char* id) { return desktop->element(id); }
    VirtualScheduler scheduler{10.0};
    std::unique_ptr<sim::SimulatedDesktop> desktop;
};

QByteArray compact(const json::Object& object) {
    return json::write(json::Value(object));
}

} // namespace

TEST_F(RenderedElementsTest, UserBubblesAreMarkedByClassOrIdentifier) {
    EXPECT_TRUE(rm::isChatGPTUserMessageBubble(e("bubble")));
    // "user-messages-list" contains "user-message": the marker rule is a containment test.
    EXPECT_TRUE(rm::isChatGPTUserMessageBubble(e("plain")));
    EXPECT_FALSE(rm::isChatGPTUserMessageBubble(e("leaf")));
    EXPECT_FALSE(rm::isChatGPTUserMessageBubble(ax::Element()));
}

TEST_F(RenderedElementsTest, PositionComesFromTheNearestAnnouncingLevelWithinSix) {
    // leaf, bubble, l1 ("Message 0"), l2 (neither form), l3 ("Message 3 of 10").
    EXPECT_EQ(rm::messagePosition(e("leaf")), 3);
    EXPECT_EQ(rm::messagePosition(e("l2")), 3);
    // l4 announces nothing; its parent l5 does.
    EXPECT_EQ(rm::messagePosition(e("l4")), 9);
    // A label found only on the seventh element up is not used.
    EXPECT_EQ(rm::messagePosition(e("deepLeaf")), std::nullopt);
    EXPECT_EQ(rm::messagePosition(ax::Element()), std::nullopt);
}

TEST_F(RenderedElementsTest, EvidenceHoldsKindsNeverContent) {
    const json::Object early = rm::identityEvidence(0, "user", e("l2"));
    const QJsonObject parsed = QJsonDocument::fromJson(compact(early)).object();
    EXPECT_EQ(parsed.value("ordinal").toInt(), 0);
    EXPECT_EQ(parsed.value("role").toString(), "user");
    const QJsonArray levels = parsed.value("ancestors").toArray();
    // l2, l3, l4, l5, window: the climb ends at the window's parent, the application.
    ASSERT_GE(levels.size(), 5);
    EXPECT_LE(levels.size(), 7);
    const QJsonObject l3 = levels[1].toObject();
    EXPECT_EQ(l3.value("depth").toInt(), 1);
    EXPECT_EQ(l3.value("role").toString(), "AXGroup");
    EXPECT_EQ(l3.value("ax").toObject().value("kind").toString(), "turn");
    EXPECT_EQ(l3.value("dom").toObject().value("present").toBool(true), false);
    EXPECT_EQ(l3.value("chromeNode").toObject().value("kind").toString(), "numeric");
    EXPECT_EQ(l3.value("ariaPosition").toString(), "3");
    EXPECT_EQ(l3.value("ariaSize").toString(), "10");
    const QJsonArray names = l3.value("attributeNames").toArray();
    ASSERT_FALSE(names.isEmpty());
    for (qsizetype i = 1; i < names.size(); ++i)
        EXPECT_LT(names[i - 1].toString(), names[i].toString());
    EXPECT_FALSE(compact(early).contains("Message 3 of 10"));

    // From the fifth message on: no attribute names, and no renderer node is probed.
    const QJsonObject late = QJsonDocument::fromJson(compact(rm::identityEvidence(4, "assistant", e("l3"))))
                                 .object()
                                 .value("ancestors")
                                 .toArray()[0]
                                 .toObject();
    EXPECT_FALSE(late.contains("attributeNames"));
    EXPECT_EQ(late.value("chromeNode").toObject(), (QJsonObject{{"present", false}}));

    // Seven levels at most.
    EXPECT_EQ(QJsonDocument::fromJson(compact(rm::identityEvidence(1, "user", e("deepLeaf"))))
                  .object()
                  .value("ancestors")
                  .toArray()
                  .size(),
              7);
}
