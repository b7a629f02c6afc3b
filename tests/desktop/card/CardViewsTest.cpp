// The card's text engine: what a label shows of a text from a service or a host.

#include "desktop/card/CardViews.h"
#include "desktop/card/RailViewController.h"
#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "platform/time/Clock.h"
#include "support/AnswerSnapshots.h"
#include "tests/desktop/card/CardTestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextDocument>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QChar ellipsis(0x2026);

bool hasControlOrOverride(const QString& text, bool lineBreaksAllowed) {
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (lineBreaksAllowed && (u == u'\n' || u == u'\t'))
            continue;
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || (u >= 0x202A && u <= 0x202E) ||
            (u >= 0x2066 && u <= 0x2069))
            return true;
    }
    return false;
}

} // namespace

TEST(CardDisplayText, ControlsAndDirectionOverridesAreDropped) {
    struct Case {
        const char16_t* raw;
        const char16_t* wrapping;
        const char16_t* singleLine;
    };
    const Case cases[] = {
        {u"plain", u"plain", u"plain"},
        {u"a\u001B[31mred\u001B[0m", u"a[31mred[0m", u"a[31mred[0m"},
        {u"bell\u0007 and nul", u"bell and nul", u"bell and nul"},
        {u"del\u007F c1\u0085\u009B", u"del c1", u"del c1"},
        {u"one\ntwo\tthree", u"one\ntwo\tthree", u"one two three"},
        {u"crlf\r\nline\rend", u"crlf\nline\nend", u"crlf line end"},
        {u"sep\u2028par\u2029", u"sep\npar\n", u"sep par "},
        {u"abc\u202Edef\u202C", u"abcdef", u"abcdef"},
        {u"\u2066isolated\u2069 \u202Aemb\u202B\u202D", u"isolated emb", u"isolated emb"},
        // Right-to-left text itself, marks and joiners are text, not controls.
        {u"\u05E9\u05DC\u05D5\u05DD \u200F\u200D", u"\u05E9\u05DC\u05D5\u05DD \u200F\u200D",
         u"\u05E9\u05DC\u05D5\u05DD \u200F\u200D"},
    };
    for (const Case& c : cases) {
        const QString raw = QString::fromUtf16(c.raw);
        EXPECT_EQ(cardDisplayText(raw, true), QString::fromUtf16(c.wrapping)) << raw.toStdString();
        EXPECT_EQ(cardDisplayText(raw, false), QString::fromUtf16(c.singleLine)) << raw.toStdString();
    }
    // A label shows the same.
    CardText label(QStringLiteral("x\u001By\u202Ez"));
    EXPECT_EQ(label.text(), QStringLiteral("xyz"));
    label.setWraps(false);
    label.setText(QStringLiteral("a\nb"));
    EXPECT_EQ(label.text(), QStringLiteral("a b"));
}

TEST(CardTextBounds, ALabelShowsABoundedPrefixOfAHugeText) {
    const QString huge(2'000'000, QLatin1Char('x'));
    struct Case {
        int lines;
        bool wraps;
        qsizetype limit;
    };
    for (const Case& c : {Case{0, true, cardTextDefaultLimit}, Case{2, true, 2 * cardTextLineBudget},
                          Case{1, false, cardTextLineBudget}, Case{0, false, cardTextLineBudget}}) {
        CardText label;
        label.setMaximumLines(c.lines);
        label.setWraps(c.wraps);
        label.setText(huge);
        EXPECT_EQ(label.text().size(), c.limit + 1) << c.lines;
        EXPECT_EQ(label.text().back(), ellipsis);
        EXPECT_GT(label.measuredHeight(196), 4);
    }
    // A scrolling view may set a larger limit; a text within the limit is shown whole.
    CardText report;
    report.setDisplayLimit(requestLogDetailsLimit);
    report.setText(huge);
    EXPECT_EQ(report.text().size(), requestLogDetailsLimit + 1);
    const QString fits(cardTextDefaultLimit, QLatin1Char('y'));
    CardText label(fits);
    EXPECT_EQ(label.text(), fits);
    // Removed controls do not count against the limit, and a flood of them ends the same way.
    label.setText(QString(cardTextDefaultLimit, QChar(0x07)) + QStringLiteral("visible"));
    EXPECT_EQ(label.text(), QStringLiteral("visible"));
    label.setText(QString(1'000'000, QChar(0x07)) + QStringLiteral("tail"));
    EXPECT_EQ(label.text(), QString(ellipsis));
}

TEST(CardTextBounds, TheCutKeepsCharactersAndRunsWhole) {
    // A character outside the Basic Multilingual Plane straddling the limit is left out whole.
    CardText label(QString(cardTextDefaultLimit - 1, QLatin1Char('a')) + QStringLiteral("😀😀"));
    ASSERT_EQ(label.text().back(), ellipsis);
    EXPECT_FALSE(label.text().at(label.text().size() - 2).isHighSurrogate());
    EXPECT_EQ(label.text().size(), cardTextDefaultLimit);

    // Styled text keeps its runs up to the cut, the ellipsis in the style of the run it ends.
    CardText styled;
    const QFont bold = cardFont(18, CardFontWeight::semibold);
    const QFont plain = cardFont(17);
    styled.setRuns({{QStringLiteral("Sonnet 5"), bold, Qt::white},
                    {QString(1'000'000, QLatin1Char('z')), plain, Qt::gray},
                    {QStringLiteral("never shown"), bold, Qt::white}});
    ASSERT_EQ(styled.runs().size(), 2u);
    EXPECT_EQ(styled.runs()[0].text, QStringLiteral("Sonnet 5"));
    EXPECT_EQ(styled.runs()[1].font, plain);
    EXPECT_EQ(styled.runs()[1].text.back(), ellipsis);
    EXPECT_EQ(styled.runs()[0].text + styled.runs()[1].text, styled.text());
    EXPECT_EQ(styled.text().size(), cardTextDefaultLimit + 1);
}

TEST(CardTextFromServices, BothRoutesShowNoControlCharactersOrOverrides) {
    const QString hostile = QStringLiteral("Fine \u001B[2J\u0007 for edits\u202E.txt\u202C and \u2067more");

    const auto work = quillmere::testing::workSnapshot();
    const QByteArray openAIBody =
        R"({"schemaVersion":3,"provider":"openai","decision":"suggest","setting":{"model":"gpt-5.6-luna","effort":"low"},"reason":"Fine \u001b[2J\u0007 for edits\u202e.txt\u202c and \u2067more","requiresVerification":false})";
    const auto outcome = OpenAIRecommendationContract::decode(openAIBody, work);
    ASSERT_TRUE(outcome.recommendation);
    ASSERT_EQ(outcome.recommendation->reason, hostile); // kept as the service sent it

    const auto claude = quillmere::testing::claudeSnapshot();
    ManualClock clock(1000);
    const Recommendation fromClaude = ClassificationService::decodeClaude(
        R"({"recommendedModel":"opus","recommendedEffort":"high","reason":"Fine \u001b[2J\u0007 for edits\u202e.txt\u202c and \u2067more","modelFitReason":"Deep \u0000work\u202d here"})",
        claude, clock);
    ASSERT_EQ(fromClaude.reason, hostile);

    for (const Recommendation& r : {*outcome.recommendation, fromClaude}) {
        RailViewController card;
        card.setPlatform(r.provider);
        card.show(r);
        card.showAskResult(r);
        cardtest::sizeCard(card, 310, 300);
        for (const CardText* label : {card.miniSummary(), card.miniTitle(), card.reasonField(),
                                      card.conversationUse(), card.askResult()})
            EXPECT_FALSE(hasControlOrOverride(label->text(), true)) << label->text().toStdString();
        EXPECT_TRUE(card.miniSummary()->text().startsWith(QStringLiteral("Why: ")));
        card.toggleExpanded();
        cardtest::sizeCard(card, 310, 400);
        EXPECT_FALSE(hasControlOrOverride(card.reasonField()->text(), true));
        EXPECT_TRUE(card.reasonField()->text().contains(QStringLiteral(".txt and more")) ||
                    card.conversationUse()->text().contains(QStringLiteral(".txt and more")));
    }
}

TEST(CardToolTips, MarkupInAToolTipIsShownAsItsCharacters) {
    const QString cases[] = {
        QStringLiteral("<h1>Heading</h1>"),
        QStringLiteral("<img src='/local/file.png'>"),
        QStringLiteral("Sonnet <b>bold</b> & <i>more</i>"),
        QStringLiteral("<qt>whole document</qt>"),
        QStringLiteral("plain words, no markup"),
    };
    for (const QString& text : cases) {
        QWidget view;
        cardview::setToolTip(&view, text);
        EXPECT_EQ(cardview::toolTip(&view), text);
        // What Qt's tool tip does with the text it is given: markup when it looks like markup.
        QTextDocument document;
        if (Qt::mightBeRichText(view.toolTip()))
            document.setHtml(view.toolTip());
        else
            document.setPlainText(view.toolTip());
        EXPECT_EQ(document.toPlainText(), text) << text.toStdString();
        EXPECT_FALSE(document.toHtml().contains(QStringLiteral("<img"))) << text.toStdString();
        EXPECT_FALSE(document.toHtml().contains(QStringLiteral("<h1"))) << text.toStdString();
    }
    QWidget view;
    cardview::setToolTip(&view, QString());
    EXPECT_FALSE(cardview::toolTip(&view));
    EXPECT_TRUE(view.toolTip().isEmpty());
}

TEST(CardToolTips, TheConnectorsWordsAreToolTipsOfPlainText) {
    RailViewController card;
    QWidget setup;
    card.configureConnector(&setup);
    ConnectorGuidance guidance;
    guidance.model_family = QStringLiteral("<h1>Sonnet</h1>");
    guidance.reasoning = QStringLiteral("medium");
    guidance.rationale = QStringLiteral("<img src='/local/file.png'> fits\u001B");
    card.showConnectorGuidance(guidance);
    cardtest::sizeCard(card, 310, 260);
    for (QWidget* line :
         {static_cast<QWidget*>(card.miniTitle()), static_cast<QWidget*>(card.miniSummary())}) {
        QTextDocument document;
        document.setHtml(line->toolTip());
        const QString plain = document.toPlainText();
        EXPECT_TRUE(plain.contains(QStringLiteral("<h1>Sonnet</h1>")) ||
                    plain.contains(QStringLiteral("<img src='/local/file.png'> fits")))
            << plain.toStdString();
        EXPECT_FALSE(plain.contains(QChar(0x1B)));
    }
}

namespace {

void press(QWidget* target, QKeySequence::StandardKey key) {
    const QKeySequence sequence(key);
    ASSERT_FALSE(sequence.isEmpty());
    const QKeyCombination combination = sequence[0];
    QKeyEvent event(QEvent::KeyPress, combination.key(), combination.keyboardModifiers());
    QApplication::sendEvent(target, &event);
}

void mouse(QWidget* target, QEvent::Type type, QPointF at) {
    QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

TEST(CardTextSelection, KeyboardSelectsAndCopiesTheTextAsShown) {
    // A word longer than the line gets break opportunities in the layout; none reaches the copy.
    const QString text = QStringLiteral("USER\nPlease tidy <b>this</b>. ") + QString(600, QLatin1Char('z'));
    CardText label(text);
    label.resize(200, 400);
    press(&label, QKeySequence::SelectAll);
    EXPECT_TRUE(label.selectedText().isEmpty()); // not selectable yet

    label.setSelectable(true);
    EXPECT_EQ(label.focusPolicy(), Qt::ClickFocus); // focus by a click, never by Tab
    press(&label, QKeySequence::SelectAll);
    EXPECT_EQ(label.selectedText(), text);
    QGuiApplication::clipboard()->clear();
    press(&label, QKeySequence::Copy);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), text);

    // Extending with the keyboard, a character at a time and to either end.
    CardText fresh(QStringLiteral("abc def"));
    fresh.resize(300, 40);
    fresh.setSelectable(true);
    press(&fresh, QKeySequence::SelectNextChar);
    press(&fresh, QKeySequence::SelectNextChar);
    EXPECT_EQ(fresh.selectedText(), QStringLiteral("ab"));
    press(&fresh, QKeySequence::SelectEndOfDocument);
    EXPECT_EQ(fresh.selectedText(), QStringLiteral("abc def"));
    press(&fresh, QKeySequence::SelectPreviousChar);
    EXPECT_EQ(fresh.selectedText(), QStringLiteral("abc de"));
    // A new text starts without a selection.
    fresh.setText(QStringLiteral("other"));
    EXPECT_TRUE(fresh.selectedText().isEmpty());
}

TEST(CardTextSelection, DraggingSelectsAcrossLinesAndOnlyOnSelectableLabels) {
    CardText label(QStringLiteral("first line\nsecond line"));
    label.setTextFont(cardFont(13));
    label.resize(300, 60);
    mouse(&label, QEvent::MouseButtonPress, {2.5, 5});
    mouse(&label, QEvent::MouseMove, {290, 5});
    mouse(&label, QEvent::MouseButtonRelease, {290, 5});
    EXPECT_TRUE(label.selectedText().isEmpty());

    label.setSelectable(true);
    mouse(&label, QEvent::MouseButtonPress, {2.5, 5});
    mouse(&label, QEvent::MouseMove, {290, 5});
    EXPECT_EQ(label.selectedText(), QStringLiteral("first line"));
    const double secondLine = 2 + label.measuredHeight(296) - 12;
    mouse(&label, QEvent::MouseMove, {290, secondLine});
    mouse(&label, QEvent::MouseButtonRelease, {290, secondLine});
    EXPECT_EQ(label.selectedText(), QStringLiteral("first line\nsecond line"));
    // Below the last line is its end; left of the text its start.
    mouse(&label, QEvent::MouseButtonPress, {-20, 5});
    mouse(&label, QEvent::MouseButtonRelease, {10, 1000});
    EXPECT_EQ(label.selectedText(), label.text());
}

TEST(CardTextSelection, TheCardsWrappingLabelsAndLogDetailsAreSelectable) {
    RailViewController card;
    card.toggleExpanded();
    card.show(cardtest::sonnetWithFit());
    card.showDiagnostics();
    card.setRequestLogs({cardtest::logEntry(1, QStringLiteral("COMPLETED"))});
    cardtest::sizeCard(card, 640, 720);
    for (const CardText* label : {card.statusField(), card.modelField(), card.conversationCategory(),
                                  card.conversationUse(), card.contextUsage(), card.reasonField(),
                                  card.feedback(), card.detail(), card.requestLogEmpty(), card.askResult()})
        EXPECT_TRUE(label->selectable());
    for (const CardText* label : {card.logo(), card.providerLabel(), card.miniTitle(), card.miniSummary(),
                                  card.conversationLabel(), card.requestLogHeading(), card.askHeading()})
        EXPECT_FALSE(label->selectable());
    int details = 0;
    for (QWidget* view : card.requestLogDocument()->findChildren<QWidget*>()) {
        auto* label = dynamic_cast<CardText*>(view);
        if (!label || label == card.requestLogEmpty() || label->text().isEmpty())
            continue;
        ++details;
        EXPECT_TRUE(label->selectable());
        press(label, QKeySequence::SelectAll);
        QGuiApplication::clipboard()->clear();
        press(label, QKeySequence::Copy);
        EXPECT_TRUE(
            QGuiApplication::clipboard()->text().contains(QStringLiteral("Please tidy this paragraph")));
    }
    EXPECT_EQ(details, 1);
}
