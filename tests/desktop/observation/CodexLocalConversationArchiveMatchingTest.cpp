#include <QRandomGenerator>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "desktop/observation/CodexLocalConversationArchive.h"

namespace quillmere {
namespace {

namespace archive = CodexLocalConversationArchive;
using ConversationText::Message;

Message user(const QString& text) {
    return {QStringLiteral("user"), text};
}
Message assistant(const QString& text) {
    return {QStringLiteral("assistant"), text};
}

std::vector<archive::Item> items(const std::vector<Message>& messages) {
    std::vector<archive::Item> result;
    qint64 position = 1;
    for (const Message& message : messages)
        result.push_back({position, position * 1000, message});
    return result;
}

// Distinct texts of exactly the given length in characters.
QString textOfLength(const QString& seed, int length) {
    QString text = seed;
    while (text.size() < length)
        text += QLatin1Char('x');
    return text.left(length);
}
QString longUserText(int n) {
    return QStringLiteral("Long user request number %1").arg(n);
}
QString longAssistantText(int n) {
    return textOfLength(QStringLiteral("Long assistant reply %1 ").arg(n), 80);
}

TEST(CodexArchiveMatchKey, ignoresWhatTheWindowRendersDifferently) {
    struct Case {
        const char* stored;
        const char* shown;
    };
    const Case cases[] = {
        {"Detailed **assistant** answer", "Detailed assistant answer"},
        {"Answer text", "Answer text Monday 3:08 PM Thinking"},
        {"Answer text", "Answer text today 11:02 am"},
        {"Answer text", "Answer text  YESTERDAY\n9:59PM"},
        {"done.", "done ."},
        {"a, b; c: d! e?", "a , b ; c : d ! e ?"},
        {"ו־427", "ו־ 427"},
        {"Line one\nline two", "  Line one   line\ttwo "},
        {"Café", "Cafe\u0301"}, // the same text with a decomposed accent
        {"Answer.", "Answer\u00A0."},
    };
    for (const Case& c : cases) {
        const QString stored = QString::fromUtf8(c.stored);
        const QString shown = QString::fromUtf8(c.shown);
        EXPECT_EQ(archive::keyedText(u"assistant", stored), archive::keyedText(u"assistant", shown))
            << c.stored << " / " << c.shown;
    }
    EXPECT_EQ(archive::matchKey(u"done ."), QStringLiteral("done."));
    EXPECT_EQ(archive::matchKey(QString::fromUtf8("ו־ 427")), QString::fromUtf8("ו־427"));
    EXPECT_EQ(archive::matchKey(u"A reply Friday 10:45 PM"), QStringLiteral("A reply"));
}

TEST(CodexArchiveMatchKey, keepsWhatIsContent) {
    // A badge in the middle of the text is content.
    EXPECT_EQ(archive::matchKey(u"Meet Monday 3:08 PM in room 4"),
              QStringLiteral("Meet Monday 3:08 PM in room 4"));
    // A badge needs its leading blank, a day name and a well-formed time.
    EXPECT_EQ(archive::matchKey(u"Monday 3:08 PM"), QStringLiteral("Monday 3:08 PM"));
    EXPECT_EQ(archive::matchKey(u"Ends Someday 3:08 PM"), QStringLiteral("Ends Someday 3:08 PM"));
    EXPECT_EQ(archive::matchKey(u"Ends Monday 123:08 PM"), QStringLiteral("Ends Monday 123:08 PM"));
    // Blanks before other marks and after other dashes stay.
    EXPECT_EQ(archive::matchKey(u"a - b ( c )"), QStringLiteral("a - b ( c )"));
    EXPECT_EQ(archive::matchKey(u"a- b"), QStringLiteral("a- b"));
    // A single "*" is not a bold mark.
    EXPECT_EQ(archive::matchKey(u"2 * 3"), QStringLiteral("2 * 3"));
    EXPECT_NE(archive::keyedText(u"user", u"Same text"), archive::keyedText(u"assistant", u"Same text"));
}

TEST(CodexArchiveMatchKey, readsDigitsAndBlanksOfEveryScript) {
    // The badge's time may be written in other digits, and any Unicode blank separates it.
    EXPECT_EQ(archive::matchKey(QString::fromUtf8("Reply Monday\u2003٣:٠٨ PM")), QStringLiteral("Reply"));
    EXPECT_EQ(archive::matchKey(QString::fromUtf8("done\u3000!")), QStringLiteral("done!"));
    EXPECT_EQ(archive::matchKey(u"****"), QString());
    // Normalising first leaves a badge alone at the start without its leading blank.
    EXPECT_EQ(archive::matchKey(u" Today 1:00 pm"), QStringLiteral("Today 1:00 pm"));
}

// The key as its steps read, every replacement applied unconditionally: the shortcuts that skip a
// replacement which cannot change the text must never change a key.
QString plainMatchKey(const QString& text) {
    const auto options = QRegularExpression::UseUnicodePropertiesOption;
    QString key = ConversationText::normalize(text);
    key.replace(QStringLiteral("**"), QString());
    key.replace(QRegularExpression(QStringLiteral("\\s+(?:Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|"
                                                  "Sunday|Today|Yesterday)\\s+\\d{1,2}:\\d{2}\\s*[AP]M"
                                                  "(?:\\s+Thinking)?$"),
                                   options | QRegularExpression::CaseInsensitiveOption),
                QString());
    key.replace(QRegularExpression(QStringLiteral("\\s+([.,:;!?])"), options), QStringLiteral("\\1"));
    key.replace(QRegularExpression(QString(QChar(0x05BE)) + QStringLiteral("\\s+"), options),
                QString(QChar(0x05BE)));
    return ConversationText::normalize(key);
}

TEST(CodexArchiveMatchKey, longTextsKeyAsTheStepsSay) {
    const char* const pieces[] = {"word",
                                  "Longer words here",
                                  " ",
                                  "  ",
                                  "\n\n",
                                  "\t",
                                  " .",
                                  ".",
                                  " ,",
                                  ";",
                                  " :",
                                  "!",
                                  " ?",
                                  "?",
                                  "**",
                                  "*",
                                  "\u05d5\u05be",
                                  "\u05be ",
                                  "\u00a0",
                                  "\u2003.",
                                  "\u3000!",
                                  "\u00e9t\u00e9",
                                  "\U0001F600",
                                  " Monday 3:08 PM",
                                  " today 11:02 am",
                                  " Thinking",
                                  "\u0663",
                                  "a\u0301",
                                  "0123456789"};
    QRandomGenerator random(11);
    for (int round = 0; round < 3000; ++round) {
        QString text;
        const int count = int(random.bounded(40));
        for (int i = 0; i < count; ++i)
            text += QString::fromUtf8(pieces[random.bounded(int(std::size(pieces)))]);
        ASSERT_EQ(archive::matchKey(text), plainMatchKey(text)) << text.toStdString();
    }
}

TEST(CodexArchiveMatchKey, stepsApplyInOrder) {
    struct Case {
        const char* text;
        const char* key;
    };
    const Case cases[] = {
        {"***", "*"},
        {"a****b", "ab"},
        {"a *** b", "a * b"},
        {"a ** b", "a b"},
        {"**", ""},
        {"** x **", "x"},
        // Bold marks go before the badge is looked for, and the blank they leave stops it.
        {"Answer Monday 3:08 PM**", "Answer"},
        {"Answer Monday 3:08 PM **", "Answer Monday 3:08 PM"},
        // Badge first, then punctuation: the blank before a mark that ends the text goes too.
        {"Done . Today 9:15 AM", "Done."},
        {"a ! ? b", "a!? b"},
        {"ו־ ־ x", "ו־־x"},
        {"\t\n", ""},
        {"x\u00A0\u2028y", "x y"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(archive::matchKey(QString::fromUtf8(c.text)), QString::fromUtf8(c.key)) << c.text;
}

TEST(CodexArchiveVisibleRequest, findsTheRequestInsideInjectedContext) {
    const QString wrapped =
        QStringLiteral("<in-app-browser-context source=\"ambient-ui-state\">\nBrowser tab details\n"
                       "</in-app-browser-context>\n\n## My request:\n\nImplement feature 4\n");
    EXPECT_EQ(archive::visibleRequest(wrapped), QStringLiteral("Implement feature 4"));
    EXPECT_EQ(archive::visibleRequest(u"# Files\nmain.cpp\n## My request: Fix it"), QStringLiteral("Fix it"));
    EXPECT_EQ(archive::visibleRequest(u"# Response annotations:\nx\n## My request:\u2028Go\u00A0"),
              QStringLiteral("Go"));
    EXPECT_EQ(archive::visibleRequest(u"<send_user_message_question_reply>y\n## My request: Yes"),
              QStringLiteral("Yes"));
    // The last marker counts, and the context may stand before any earlier marker.
    EXPECT_EQ(archive::visibleRequest(u"# Files\n## My request: first\n## My request: second"),
              QStringLiteral("second"));
}

TEST(CodexArchiveVisibleRequest, refusesTextsThatAreNotWrappers) {
    EXPECT_EQ(archive::visibleRequest(u"Implement feature 4"), std::nullopt);
    EXPECT_EQ(archive::visibleRequest(u"## My request: Implement feature 4"), std::nullopt);
    EXPECT_EQ(archive::visibleRequest(u"## My request: x\n# Files"), std::nullopt);     // context after
    EXPECT_EQ(archive::visibleRequest(u"# Files\n## My request:  \n\t"), std::nullopt); // nothing after
    EXPECT_EQ(archive::visibleRequest(u"# files\n## my request: x"), std::nullopt);     // case matters
}

TEST(CodexArchivePositions, indexesWholeTextsAndWrappedRequests) {
    const QString wrapped = QStringLiteral(
        "<in-app-browser-context>\ntab\n</in-app-browser-context>\n\n## My request:\n\nImplement feature 4");
    const archive::PositionIndex index = archive::positions(items({
        user(wrapped),
        assistant(QStringLiteral("Done")),
        user(QStringLiteral("Continue")),
        assistant(QStringLiteral("Done **again**")),
        user(QStringLiteral("Continue")),
        user(QStringLiteral("## My request: plain")),
        assistant(QStringLiteral(" \n ")),
    }));
    EXPECT_EQ(index.value(archive::keyedText(u"user", wrapped)), QList<int>{0});
    EXPECT_EQ(index.value(archive::keyedText(u"user", u"Implement feature 4")), QList<int>{0});
    EXPECT_EQ(index.value(archive::keyedText(u"user", u"Continue")), (QList<int>{2, 4}));
    EXPECT_EQ(index.value(archive::keyedText(u"assistant", u"Done again")), QList<int>{3});
    EXPECT_EQ(index.value(archive::keyedText(u"user", u"## My request: plain")), QList<int>{5});
    EXPECT_FALSE(index.contains(archive::keyedText(u"user", u"plain")));
    // Empty keys are not indexed, and an assistant's wrapper-like text is never split.
    EXPECT_FALSE(index.contains(QStringLiteral("assistant|")));
    EXPECT_EQ(index.size(), 6);
}

TEST(CodexArchiveAnchors, acceptanceThresholds) {
    std::vector<Message> archived;
    for (int n = 0; n < 5; ++n) {
        archived.push_back(user(longUserText(n)));
        archived.push_back(assistant(longAssistantText(n)));
    }
    archived.push_back(user(QStringLiteral("Short")));               // 5 characters
    archived.push_back(user(textOfLength(QStringLiteral("U"), 11))); // 11: short
    archived.push_back(user(textOfLength(QStringLiteral("V"), 12))); // 12: long
    archived.push_back(assistant(textOfLength(QStringLiteral("A"), 79)));
    const archive::PositionIndex index = archive::positions(items(archived));
    const Message shortUser = archived[10];
    const Message elevenUser = archived[11];
    const Message twelveUser = archived[12];
    const Message shortAssistant = archived[13];

    struct Case {
        const char* name;
        std::vector<Message> visible;
        qint64 expected;
    };
    const Case cases[] = {
        {"two long replies and a long request", {archived[1], archived[2], archived[3]}, 3},
        {"two long replies and a 12-character request", {archived[1], archived[3], twelveUser}, 3},
        {"two long replies and an 11-character request", {archived[1], archived[3], elevenUser}, 0},
        {"four long requests", {archived[0], archived[2], archived[4], archived[6]}, 4},
        {"three long requests", {archived[0], archived[2], archived[4]}, 0},
        {"three long requests and a short reply", {archived[0], archived[2], archived[4], shortAssistant}, 0},
        {"three long requests and a long reply", {archived[0], archived[2], archived[4], archived[5]}, 4},
        {"three long replies and a short request", {archived[1], archived[3], archived[5], shortUser}, 4},
        {"two long replies and a short request", {archived[1], archived[3], shortUser}, 0},
        {"long replies alone", {archived[1], archived[3], archived[5], archived[7], archived[9]}, 0},
        {"everything counts once accepted",
         {archived[0], archived[1], archived[2], archived[3], shortUser, shortAssistant},
         6},
        {"unmatched messages are ignored",
         {user(QStringLiteral("Not archived at all")), archived[1], archived[2], archived[3]},
         3},
        {"reversed order", {archived[3], archived[2], archived[1]}, 0},
        {"one pair out of order among many",
         {archived[0], archived[1], archived[2], archived[4], archived[3], archived[5], archived[6]},
         0},
        {"the same message twice", {archived[0], archived[2], archived[4], archived[6], archived[6]}, 0},
        {"empty visible list", {}, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(archive::matchingAnchors(c.visible, index), c.expected) << c.name;

    EXPECT_EQ(archive::matchingAnchors({archived[0], archived[1], archived[3]}, {}), 0);
}

TEST(CodexArchiveAnchors, repeatedTextsNeverAnchor) {
    const std::vector<Message> archived = {
        user(longUserText(0)),           assistant(longAssistantText(0)),  user(QStringLiteral("Continue")),
        assistant(longAssistantText(1)), user(QStringLiteral("Continue")), assistant(longAssistantText(1)),
    };
    const archive::PositionIndex index = archive::positions(items(archived));
    // The second reply was stored twice, so only the first reply and the request anchor.
    EXPECT_EQ(archive::matchingAnchors({archived[0], archived[1], archived[2], archived[3]}, index), 0);
    EXPECT_EQ(archive::uniqueExactCount(archived, index), 2);
}

TEST(CodexArchiveAnchors, lengthsCountCharactersNotCodeUnits) {
    // Twelve characters, each two UTF-16 code units and several bytes: a long user anchor.
    const QString twelveEmoji = QString::fromUtf8("😀😀😀😀😀😀😀😀😀😀😀😀");
    // Eleven characters spelled with combining accents: still short.
    QString elevenAccented;
    for (int i = 0; i < 11; ++i)
        elevenAccented += QStringLiteral("e\u0301");
    const std::vector<Message> archived = {
        user(twelveEmoji),
        assistant(longAssistantText(0)),
        user(elevenAccented),
        assistant(longAssistantText(1)),
    };
    const archive::PositionIndex index = archive::positions(items(archived));
    EXPECT_EQ(archive::matchingAnchors({archived[0], archived[1], archived[3]}, index), 3);
    EXPECT_EQ(archive::matchingAnchors({archived[1], archived[2], archived[3]}, index), 0);
}

TEST(CodexArchiveAnchors, wrappedRequestsAnchorByTheirRequest) {
    std::vector<Message> archived;
    for (int n = 0; n < 5; ++n) {
        archived.push_back(
            user(QStringLiteral("<in-app-browser-context source=\"ambient-ui-state\">\nBrowser tab "
                                "details\n</in-app-browser-context>\n\n## My request:\n\n") +
                 longUserText(n)));
        archived.push_back(assistant(QStringLiteral("Completed requirement %1.").arg(n)));
    }
    const archive::PositionIndex index = archive::positions(items(archived));
    const std::vector<Message> requests = {user(longUserText(1)), user(longUserText(2)),
                                           user(longUserText(3)), user(longUserText(4))};
    EXPECT_EQ(archive::matchingAnchors(requests, index), 4);
    EXPECT_EQ(archive::matchingAnchors({requests[3], requests[2], requests[1], requests[0]}, index), 0);
    std::vector<Message> unrelated = requests;
    unrelated[0].text = QStringLiteral("Different task: ") + unrelated[0].text;
    EXPECT_EQ(archive::matchingAnchors(unrelated, index), 0);
}

} // namespace
} // namespace quillmere
