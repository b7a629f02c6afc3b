#include "desktop/observation/ConversationIdentity.h"

#include <gtest/gtest.h>

using namespace quillmere;
namespace ci = quillmere::ConversationIdentity;

TEST(ConversationURL, NeedsSomethingAfterAConversationPrefixOnAWebHost) {
    EXPECT_FALSE(ci::isConversationURL("https://chatgpt.com/c/"));
    EXPECT_TRUE(ci::isConversationURL("https://chatgpt.com/c/abc"));
    EXPECT_TRUE(ci::isConversationURL("https://claude.ai/chat/1f2e?x=1#y"));
    EXPECT_TRUE(ci::isConversationURL("https://claude.ai/epitaxy/s1"));
    EXPECT_FALSE(ci::isConversationURL("https://claude.ai/c/abc"));
    EXPECT_FALSE(ci::isConversationURL("https://example.com/c/abc"));
    EXPECT_FALSE(ci::isConversationURL("https://chatgpt.com.evil.test/c/abc"));
    EXPECT_FALSE(ci::isConversationURL("/c/abc"));
    EXPECT_FALSE(ci::isConversationURL(""));
    EXPECT_FALSE(ci::isConversationURL("https://chatgpt.com/"));
}

TEST(ConversationURL, CanonicalFormCutsQueryAndFragmentFromTheText) {
    EXPECT_EQ(ci::canonicalConversationURL("chatgpt.com/c/abc?model=x#top"), "https://chatgpt.com/c/abc");
    EXPECT_EQ(ci::canonicalConversationURL("http://chatgpt.com/c/abc"), "http://chatgpt.com/c/abc");
    EXPECT_EQ(ci::canonicalConversationURL("https://claude.ai/chat/%41b#x?y"), "https://claude.ai/chat/%41b");
    EXPECT_EQ(ci::canonicalConversationURL("https://example.com/c/abc"), std::nullopt);
    EXPECT_EQ(ci::canonicalConversationURL("example.com/c/abc"), std::nullopt);
    EXPECT_EQ(ci::canonicalConversationURL("https://chatgpt.com/c/"), std::nullopt);
    EXPECT_EQ(ci::canonicalConversationURL("https://chatgpt.com/c/a b"), std::nullopt);
    EXPECT_EQ(ci::canonicalConversationURL(QString()), std::nullopt);
}

TEST(ConversationURL, TheHostIsComparedAsWritten) {
    // A host in other letters is another host, though a URL parser writes it in lowercase.
    EXPECT_FALSE(ci::isConversationURL("https://CLAUDE.AI/chat/x"));
    EXPECT_FALSE(ci::isConversationURL("https://ChatGPT.com/c/abc"));
    EXPECT_EQ(ci::canonicalConversationURL("https://CLAUDE.AI/chat/x"), std::nullopt);
    EXPECT_EQ(ci::canonicalConversationURL("https://Chatgpt.com/c/abc"), std::nullopt);
    // A user and a port are no part of the host.
    EXPECT_TRUE(ci::isConversationURL("https://someone@claude.ai:443/chat/x"));
    EXPECT_EQ(ci::canonicalConversationURL("https://chatgpt.com:8443/c/abc?x"),
              "https://chatgpt.com:8443/c/abc");
}

TEST(ConversationIdentity, DurableKeysSurviveRenders) {
    EXPECT_FALSE(ci::isDurableNavigationKey("selected-navigation-element:4"));
    EXPECT_FALSE(ci::isDurableNavigationKey("_r_5f_"));
    EXPECT_FALSE(ci::isDurableNavigationKey(" \n"));
    EXPECT_TRUE(ci::isDurableNavigationKey("_r_5f"));
    EXPECT_TRUE(ci::isDurableNavigationKey("  conv-123  "));
}

TEST(ConversationIdentity, StrongestEvidenceWins) {
    EXPECT_EQ(ci::stableConversationIdentity(QString("https://claude.ai/chat/x"), "com.anthropic.claude", "k",
                                             "T", "f"),
              (ci::Identity{"https://claude.ai/chat/x", true}));
    EXPECT_EQ(
        ci::stableConversationIdentity(std::nullopt, "com.openai.chat", QString("  conv-123 "), "Trip", "f"),
        (ci::Identity{"com.openai.chat|navigation:  conv-123 ", true}));
    EXPECT_EQ(ci::stableConversationIdentity(QString(""), "com.openai.chat", QString("_r_5f_"),
                                             QString("  Trip   plans "), "f"),
              (ci::Identity{"com.openai.chat|title:Trip plans", true}));
    EXPECT_EQ(ci::stableConversationIdentity(std::nullopt, "com.openai.chat", std::nullopt, QString(" \t"),
                                             "window-3"),
              (ci::Identity{"com.openai.chat|fallback:window-3", false}));
}

TEST(ConversationTitle, RemovesEachHostSuffixOnceInOrder) {
    EXPECT_EQ(ci::conversationTitle(QString::fromUtf16(u"Trip plans \u2014 Claude")), "Trip plans");
    EXPECT_EQ(ci::conversationTitle("ChatGPT"), std::nullopt);
    EXPECT_EQ(ci::conversationTitle("  codex "), std::nullopt);
    EXPECT_EQ(ci::conversationTitle("Notes - Codex - ChatGPT"), "Notes");
    EXPECT_EQ(ci::conversationTitle("Notes - ChatGPT - Codex"), "Notes - ChatGPT");
    // Trimming comes first, so a bare suffix no longer has its leading blank.
    EXPECT_EQ(ci::conversationTitle(" - Claude"), "- Claude");
    EXPECT_EQ(ci::conversationTitle(""), std::nullopt);
}

TEST(ConversationTitle, NavigationLabelsNeedATitleLength) {
    EXPECT_EQ(ci::conversationTitleFromNavigationLabel("More"), std::nullopt);
    EXPECT_EQ(ci::conversationTitleFromNavigationLabel("Open conversation options"), std::nullopt);
    EXPECT_EQ(ci::conversationTitleFromNavigationLabel("x"), std::nullopt);
    EXPECT_EQ(ci::conversationTitleFromNavigationLabel(QString(181, 'a')), std::nullopt);
    EXPECT_EQ(ci::conversationTitleFromNavigationLabel(QString(180, 'a')), QString(180, 'a'));
    EXPECT_EQ(ci::conversationTitleFromNavigationLabel("Trip plans - Claude"), "Trip plans");
    // 180 characters counted as people see them, not as code units.
    const QString accented = QString::fromUtf16(u"e\u0301").repeated(180);
    EXPECT_EQ(ci::conversationTitleFromNavigationLabel(accented), accented);
}
