#include "core/ConversationText.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QRandomGenerator>

#include "core/Text.h"

using namespace quillmere;
using ConversationText::Message;

namespace {

Message user(const QString& text) {
    return {"user", text};
}
Message assistant(const QString& text) {
    return {"assistant", text};
}

} // namespace

TEST(ConversationTextNormalize, FoldsUnicodeWhiteSpace) {
    EXPECT_EQ(ConversationText::normalize(u"  a \n\t b  "), "a b");
    // NBSP, ideographic space and the line separator are white space too.
    EXPECT_EQ(ConversationText::normalize(u"\u00a0a\u3000\u2028b\u00a0"), "a b");
    EXPECT_EQ(ConversationText::normalize(u" \n\t"), "");
}

// Long texts take a faster way through prose; it must fold exactly as a word-by-word reading
// does: words split at every White_Space character, joined by one blank.
TEST(ConversationTextNormalize, LongTextsFoldAsWordsJoinedByOneBlank) {
    const char16_t pieces[] = {u'a',      u'Z',      u'.',    u'~',      u'\x7f',   u'\x80',   u'\u00e9',
                               u'\u05be', u' ',      u' ',    u' ',      u'\t',     u'\n',     u'\r',
                               u'\v',     u'\f',     u'\x1f', u'\u00a0', u'\u2028', u'\u3000', u'\u200b',
                               u'\xd83d', u'\xde00', u'!',    u'0'};
    QRandomGenerator random(7);
    for (int round = 0; round < 3000; ++round) {
        QString text;
        const int length = int(random.bounded(80));
        for (int i = 0; i < length; ++i) {
            // Mostly letters, so that whole blocks without white space occur.
            text += random.bounded(3) ? QChar(u'a' + char16_t(random.bounded(26)))
                                      : QChar(pieces[random.bounded(int(std::size(pieces)))]);
        }
        QStringList words;
        QString word;
        for (const QChar c : text) {
            const bool space = c.unicode() < 0x80 ? (c == u' ' || (c >= u'\t' && c <= u'\r'))
                                                  : text::isWhiteSpace(c.unicode());
            if (!space) {
                word += c;
            } else if (!word.isEmpty()) {
                words.append(word);
                word.clear();
            }
        }
        if (!word.isEmpty())
            words.append(word);
        ASSERT_EQ(ConversationText::normalize(text), words.join(u' ')) << text.toStdString();
    }
}

// A text taken as its own normal form must be one: printable ASCII that normalize leaves as it is.
// Blanks and other characters fall on every place of the eight-unit blocks.
TEST(ConversationTextNormalize, TextsTakenAsNormalAreThoseNormalizeKeeps) {
    const auto normalAscii = [](const QString& text) {
        return ConversationText::normalize(text) == text &&
               std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u' ' && c <= u'~'; });
    };
    for (const QString& text :
         {QString(), QString("a"), QString(" "), QString("a b"), QString("a  b"),
          QString("\tabcdefghijklmnop"), QString(" abcdefghijklmnop"), QString("abcdefghijklmnop "),
          QString("abcdefg  hijklmnop"), QString("abcdefgh  ijklmnop"), QString("abcdefghijklmno\x7f"),
          QString("abcdefghi\tjklmnop"), QString("abcdefghijklmnopq~"), QString("abcdefghijklmnop\u00e9")})
        EXPECT_EQ(ConversationText::isNormalAscii(text), normalAscii(text)) << text.toStdString();
    const char16_t odd[] = {u'\x1f',   u'\t',     u'\n',     u'\x7f', u'\x80',
                            u'\u00a0', u'\u00e9', u'\xd83d', u'~',    u'!'};
    QRandomGenerator random(11);
    int normal = 0;
    for (int round = 0; round < 20000; ++round) {
        QString text;
        const int length = int(random.bounded(40));
        for (int i = 0; i < length; ++i)
            text += random.bounded(6)    ? QChar(u'a' + char16_t(random.bounded(26)))
                    : random.bounded(60) ? QChar(u' ')
                                         : QChar(odd[random.bounded(int(std::size(odd)))]);
        const bool expected = normalAscii(text);
        normal += expected ? 1 : 0;
        ASSERT_EQ(ConversationText::isNormalAscii(text), expected) << text.toStdString();
    }
    EXPECT_GT(normal, 2000);
    EXPECT_LT(normal, 18000);
}

TEST(ConversationTextMessage, EqualityIsCanonical) {
    // "é" typed precomposed and decomposed is the same message.
    EXPECT_EQ(user("caf\u00e9"), user("cafe\u0301"));
    EXPECT_FALSE(user("a") == assistant("a"));
    EXPECT_FALSE(user("a") == user("a "));
}

TEST(ConversationTextMessage, JsonRoundTripAndRejection) {
    auto value = json::write(ConversationText::toJson(user("a/b")));
    auto object = QJsonDocument::fromJson(value).object();
    EXPECT_EQ(ConversationText::messageFromJson(object), user("a/b"));
    EXPECT_FALSE(ConversationText::messageFromJson(QJsonObject{{"role", "user"}}));
    EXPECT_FALSE(ConversationText::messageFromJson(QJsonObject{{"role", "user"}, {"text", 3}}));
}

TEST(ConversationTextHeadings, PlainHeadingsIgnoreCaseAndSpacing) {
    EXPECT_EQ(ConversationText::headingRole({"  YOU\u00a0 said: "}), "user");
    EXPECT_EQ(ConversationText::headingRole({"Options", "Claude responded:"}), "assistant");
    EXPECT_FALSE(ConversationText::headingRole({"You said: hello"}));
    EXPECT_FALSE(ConversationText::headingRole({}));
}

TEST(ConversationTextHeadings, InlineHeadingKeepsTheRestVerbatim) {
    auto m = ConversationText::message({"Claude responded:\n  Line one\n\nLine two  "});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->role, "assistant");
    EXPECT_EQ(m->text, "Line one\n\nLine two");
    // A heading with nothing after it, or glued to its text, is no inline message; the search
    // goes on to the next label.
    EXPECT_FALSE(ConversationText::message({"You said:   "}));
    EXPECT_FALSE(ConversationText::message({"You said:hello"}));
    auto second = ConversationText::message({"You said:", "you  SAID: later"});
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, user("later"));
    EXPECT_FALSE(ConversationText::message({"Yousaid: x", "said: x"}));
}

TEST(ConversationTextLabels, CopyActionsAndUserMarkers) {
    EXPECT_TRUE(ConversationText::isSentUserCopyAction(u" COPY "));
    EXPECT_TRUE(ConversationText::isSentUserCopyAction(u"Copy\nmessage"));
    EXPECT_FALSE(ConversationText::isSentUserCopyAction(u"Copy code"));
    EXPECT_TRUE(ConversationText::isSentUserCopyAction(u"\u00a0Copy\u2003message\u00a0"));
    // Letters outside ASCII take the full Unicode path: an accent or a dotted capital I is another
    // word, not a variant spelling.
    EXPECT_FALSE(ConversationText::isSentUserCopyAction(u"Copy\u0301"));
    EXPECT_FALSE(ConversationText::isSentUserCopyAction(u"\uff23\uff2f\uff30\uff39"));
    EXPECT_FALSE(ConversationText::headingRole({"YOU SA\u0130D:"}));
    EXPECT_TRUE(ConversationText::isRenderedUserMessageMarker({"x", "User Message"}));
    EXPECT_TRUE(ConversationText::isRenderedUserMessageMarker({"flex BG-USER-MESSAGE-bubble"}));
    EXPECT_FALSE(ConversationText::isRenderedUserMessageMarker({"user message bubble"}));
}

TEST(ConversationTextLabels, MetadataNeedsTheWholeLabel) {
    EXPECT_TRUE(ConversationText::isMessageMetadata(u"1 seconds ago"));
    EXPECT_TRUE(ConversationText::isMessageMetadata(u" 12\u00a0MONTHS   ago\n"));
    EXPECT_TRUE(ConversationText::isMessageMetadata(u"Just now"));
    // Only decimal digits count as the number; words and other scripts' digits do not.
    EXPECT_FALSE(ConversationText::isMessageMetadata(u"a minute ago"));
    EXPECT_FALSE(ConversationText::isMessageMetadata(u"\u0663 hours ago"));
    EXPECT_FALSE(ConversationText::isMessageMetadata(u"3 fortnights ago"));
    EXPECT_FALSE(ConversationText::isMessageMetadata(u"3 hours ago now"));
    EXPECT_FALSE(ConversationText::isMessageMetadata(u""));
    EXPECT_FALSE(ConversationText::isMessageMetadata(u"ago"));
}

TEST(ConversationTextLabels, MetadataWithALetterOutsideAsciiInsideAWordEnds) {
    // Such a letter followed by more of its word once stalled the word scan for ever.
    EXPECT_FALSE(ConversationText::isMessageMetadata(u"5 m\u0131nutes ago"));
    EXPECT_FALSE(ConversationText::isMessageMetadata(u"caf\u00e9s and more ago"));
    // The Kelvin sign lowercases to an ASCII "k".
    EXPECT_TRUE(ConversationText::isMessageMetadata(u"3 WEE\u212aS ago"));
}

TEST(ConversationTextSelection, RecentUserRequestsSkipsBlankAndHandlesLimits) {
    std::vector<Message> messages = {user("one"), user("\u00a0\n"), assistant("r"), user("two")};
    EXPECT_EQ(ConversationText::recentUserRequests(messages, 8), (std::vector{user("one"), user("two")}));
    EXPECT_EQ(ConversationText::recentUserRequests(messages, 1), (std::vector{user("two")}));
    EXPECT_TRUE(ConversationText::recentUserRequests(messages, 0).empty());
    EXPECT_TRUE(ConversationText::recentUserRequests(messages, -5).empty());
}

TEST(ConversationTextSelection, RecentContextBudgetEdges) {
    std::vector<Message> messages = {user("Please refactor the parser"), assistant("a1"), assistant("a2"),
                                     user("ok"), assistant("a3")};
    // With a budget of two the short follow-up cannot bring its earlier request along.
    EXPECT_EQ(ConversationText::recentContext(messages, 2), (std::vector{user("ok"), assistant("a3")}));
    EXPECT_EQ(ConversationText::recentContext(messages, 3),
              (std::vector{user("Please refactor the parser"), user("ok"), assistant("a3")}));
    // A short request counts its characters as people see them: four emoji flags are four.
    std::vector<Message> flags = {user("Translate this page"), assistant("done"),
                                  user("\U0001F1EE\U0001F1F1\U0001F1EE\U0001F1F1\U0001F1EE\U0001F1F1"
                                       "\U0001F1EE\U0001F1F1"),
                                  assistant("?")};
    EXPECT_EQ(ConversationText::recentContext(flags, 3).front(), user("Translate this page"));
    // No earlier substantive request: nothing is invented, the budget goes to the latest messages.
    std::vector<Message> shortOnly = {user("hi"), assistant("a"), user("ok"), assistant("b")};
    EXPECT_EQ(ConversationText::recentContext(shortOnly, 3),
              (std::vector{assistant("a"), user("ok"), assistant("b")}));
    EXPECT_EQ(ConversationText::recentContext(shortOnly, 100), shortOnly);
    EXPECT_TRUE(ConversationText::recentContext({}, 4).empty());
}

TEST(ConversationTextFollowUps, BackReferencesWithoutTaskVerbs) {
    EXPECT_TRUE(ConversationText::dependsOnPriorContext(u"Do it again"));
    EXPECT_TRUE(ConversationText::dependsOnPriorContext(u"IT'S WRONG"));
    // Hebrew back references.
    EXPECT_TRUE(ConversationText::dependsOnPriorContext(u"שלח אותו שוב"));
    EXPECT_FALSE(ConversationText::dependsOnPriorContext(u"Fix it"));
    EXPECT_FALSE(ConversationText::dependsOnPriorContext(u"תקן את זה"));
    EXPECT_FALSE(ConversationText::dependsOnPriorContext(u"Thanks!"));
    EXPECT_FALSE(ConversationText::dependsOnPriorContext(u""));
    // A long message stands on its own even when it mentions "it".
    EXPECT_FALSE(ConversationText::dependsOnPriorContext(
        u"I would like you to take the quarterly numbers and turn them into a chart that shows it clearly"));
}
