#include "desktop/observation/SnapshotRules.h"

#include "core/ConversationText.h"
#include "core/HostConstants.h"
#include "core/Text.h"

#include <gtest/gtest.h>

using namespace quillmere;
namespace rules = quillmere::SnapshotRules;

namespace {
QString chatGPT(const char* path) {
    return QStringLiteral("https://%1%2").arg(HostConstants::chatGPTWebHost, path);
}
} // namespace

TEST(SnapshotSettingOrder, ModelThenEffortAndStable) {
    std::vector<ObservedSetting> settings{{"sonnet", "high"}, {"opus", "low"}, {"sonnet", "medium"}};
    rules::sortSettings(settings);
    EXPECT_EQ(settings,
              (std::vector<ObservedSetting>{{"opus", "low"}, {"sonnet", "high"}, {"sonnet", "medium"}}));

    // Equal settings keep the order they were read in; a decomposed accent is the same effort.
    std::vector<ObservedSetting> same{
        {"gpt-6-sol", "caf\u00e9"}, {"gpt-6-luna", "low"}, {"gpt-6-sol", "cafe\u0301"}};
    rules::sortSettings(same);
    EXPECT_EQ(same[0].model, "gpt-6-luna");
    EXPECT_EQ(same[1].effort, "caf\u00e9");
    EXPECT_EQ(same[2].effort, "cafe\u0301");
    // Code point order, not UTF-16 order: U+1F600 sorts after U+FF21.
    EXPECT_TRUE(rules::settingPrecedes({"\uFF21", ""}, {QString::fromUcs4(U"\U0001F600"), ""}));
    EXPECT_FALSE(rules::settingPrecedes({"a", "x"}, {"a", "x"}));
}

TEST(SnapshotLabels, PiecesKeepRepeatsAndDropEmpties) {
    EXPECT_EQ(rules::labelPieces(QString("Send"), QString(""), QString("Send")),
              (QStringList{"Send", "Send"}));
    EXPECT_EQ(rules::labelPieces(std::nullopt, QString("GPT-6"), std::nullopt), QStringList{"GPT-6"});
    EXPECT_EQ(rules::labelText(rules::labelPieces(QString("Model"), QString("GPT-6"), QString(" x "))),
              "Model GPT-6  x ");
    EXPECT_EQ(rules::labelText({}), "");
}

TEST(SnapshotLabels, ScrollButtonNeedsAButtonRole) {
    EXPECT_TRUE(rules::isScrollToBottomButton(u"AXButton", {"Scroll   to\u00a0Bottom "}));
    EXPECT_TRUE(rules::isScrollToBottomButton(u"AXButton", {"Jump", "scroll to bottom"}));
    EXPECT_FALSE(rules::isScrollToBottomButton(u"AXStaticText", {"Scroll to Bottom"}));
    EXPECT_FALSE(rules::isScrollToBottomButton(u"AXButton", {"Scroll to bottom of page"}));
    EXPECT_FALSE(rules::isScrollToBottomButton(u"AXButton", {}));
}

TEST(SnapshotLabels, NormalisedLabelsAlikeForAsciiAndOtherText) {
    // ASCII labels take a short way; it must give what splitting into words and lowercasing give.
    for (const char* label :
         {"", "   ", "Scroll to Bottom", "\t STOP  generating\n", "a\x1f b", "x\x0b\x0cY",
          "Conversation   Sources ", "\u00a0Sources\u2003", "\u0130stanbul STOP", "ÉCLAIR  x"}) {
        const QString text = QString::fromUtf8(label);
        EXPECT_EQ(rules::normalizedLowercasedLabel(text), text::lowercased(text::words(text).join(u' ')))
            << label;
    }
}

TEST(SnapshotDocument, FirstCanonicalCandidateWins) {
    // An area's URL hides its document: the area's address is the URL even off the host.
    const auto address = rules::webAreaAddress(QString("https://example.com/c/1"), chatGPT("/c/abc"));
    EXPECT_EQ(address, "https://example.com/c/1");
    EXPECT_EQ(rules::conversationDocument(std::nullopt, {*address}), std::nullopt);
    EXPECT_EQ(rules::webAreaAddress(std::nullopt, QString("doc")), "doc");
    EXPECT_EQ(rules::webAreaAddress(std::nullopt, std::nullopt), std::nullopt);

    // The window's document comes first, then the areas in order; query and fragment go.
    EXPECT_EQ(rules::conversationDocument(chatGPT("/c/win?x=1"), {chatGPT("/c/area")}), chatGPT("/c/win"));
    EXPECT_EQ(
        rules::conversationDocument(chatGPT("/c/"), {"nothing", chatGPT("/c/second#f"), chatGPT("/c/third")}),
        chatGPT("/c/second"));
    EXPECT_EQ(rules::conversationDocument(std::nullopt, {}), std::nullopt);
}

TEST(SnapshotRenameTitles, OnlyButtonsEndingInTheRenameSuffix) {
    EXPECT_EQ(rules::renameSessionTitle(u"AXButton", "Trip plans, rename session"), "Trip plans");
    EXPECT_EQ(rules::renameSessionTitle(u"AXButton", " Trip , rename session"), " Trip ");
    EXPECT_EQ(rules::renameSessionTitle(u"AXButton", "Rename session"), std::nullopt);
    EXPECT_EQ(rules::renameSessionTitle(u"AXButton", ", rename session"), std::nullopt);
    EXPECT_EQ(rules::renameSessionTitle(u"AXStaticText", "Trip plans, rename session"), std::nullopt);
    EXPECT_EQ(rules::renameSessionTitle(u"AXButton", "Trip plans, Rename session"), std::nullopt);
}

TEST(SnapshotMessageFilters, KeepOnlySpeakersWithVisibleText) {
    using M = ConversationText::Message;
    const std::vector<M> messages{{"user", "Hi"},        {"assistant", "Hello"}, {"system", "Note"},
                                  {"user", " \u3000\n"}, {"User", "caps"},       {"assistant", "\u00a0x"}};
    EXPECT_EQ(rules::keptMessages(messages),
              (std::vector<M>{{"user", "Hi"}, {"assistant", "Hello"}, {"assistant", "\u00a0x"}}));
    EXPECT_EQ(rules::userMessages(messages).size(), 2u);
    EXPECT_EQ(rules::assistantMessages(messages).size(), 2u);
    EXPECT_TRUE(rules::keptMessages(std::vector<M>{}).empty());
}
