// The card's text engine: what a label shows of a text from a service or a host.

#include "desktop/card/CardViews.h"
#include "desktop/card/RailViewController.h"
#include "desktop/classification/ClassificationService.h"
#include "desktop/classification/OpenAIRecommendationContract.h"
#include "platform/time/Clock.h"
#include "support/AnswerSnapshots.h"
#include "tests/desktop/card/CardTestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextDocument>
#include <QTextLayout>
#include <functional>
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
    card.showConnectorGuidance(
        cardtest::connectorGuidance(QStringLiteral("<h1>Sonnet</h1>"), QStringLiteral("medium"),
                                    QStringLiteral("<img src='/local/file.png'> fits\u001B")));
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

// ---- limits: a text at a limit is shown whole, one unit over it is cut ----------------------------

namespace {

// The text of a label after the label was given `text`.
struct Bounded {
    const char* what;
    qsizetype limit;
    std::function<QString(const QString&)> shown;
};

std::vector<Bounded> boundedViews() {
    std::vector<Bounded> views;
    views.push_back({"label without a cap", cardTextDefaultLimit,
                     [](const QString& text) { return CardText(text).text(); }});
    views.push_back({"label of two lines", 2 * cardTextLineBudget, [](const QString& text) {
                         CardText label;
                         label.setMaximumLines(2);
                         label.setText(text);
                         return label.text();
                     }});
    views.push_back({"single line", cardTextLineBudget, [](const QString& text) {
                         CardText label;
                         label.setWraps(false);
                         label.setText(text);
                         return label.text();
                     }});
    views.push_back({"detail box", detailBoxLimit, [](const QString& text) {
                         CardText label;
                         label.setDisplayLimit(detailBoxLimit);
                         label.setText(text);
                         return label.text();
                     }});
    views.push_back({"section of a report", requestLogSectionLimit, [](const QString& text) {
                         return cardBoundedText(text, true, requestLogSectionLimit);
                     }});
    views.push_back({"tool tip", cardTextDefaultLimit, [](const QString& text) {
                         QWidget view;
                         cardview::setToolTip(&view, text);
                         return cardview::toolTip(&view).value_or(QString());
                     }});
    views.push_back(
        {"spoken label of two lines", cardSpokenLimit(2 * cardTextLineBudget), [](const QString& text) {
             CardText label(QStringLiteral("shown"));
             label.setMaximumLines(2);
             cardview::setAccessibilityLabel(&label, text);
             return QAccessible::queryAccessibleInterface(&label)->text(QAccessible::Name);
         }});
    return views;
}

} // namespace

TEST(CardTextBounds, EachLimitShowsATextOfItsLengthWholeAndCutsOneUnitMore) {
    for (const Bounded& view : boundedViews()) {
        const QString atLimit = QString(view.limit - 1, QLatin1Char('a')) + QLatin1Char('z');
        EXPECT_TRUE(view.shown(atLimit) == atLimit) << view.what;
        const QString shown = view.shown(atLimit + QLatin1Char('+'));
        EXPECT_EQ(shown.size(), view.limit + 1) << view.what;
        EXPECT_TRUE(shown == atLimit + ellipsis) << view.what;
    }
}

// A valid answer's text has at most 2,000 characters, and a character may take many code units: a
// family emoji takes 11. Whole ones are shown and spoken whole.
TEST(CardTextBounds, AValidTextOfManyCodeUnitsACharacterIsShownWhole) {
    const QString family = QStringLiteral("👨‍👩‍👧‍👦");
    ASSERT_EQ(family.size(), 11);
    const QString rationale = family.repeated(1000);
    const QString reason = family.repeated(2000);
    // (Compared as truth values: a failure would print 22,000 code units.)
    EXPECT_TRUE(CardText(QStringLiteral("Why: ") + reason).text() == QStringLiteral("Why: ") + reason);
    CardText detail;
    detail.setDisplayLimit(detailBoxLimit);
    detail.setText(reason);
    EXPECT_TRUE(detail.text() == reason);
    // A two-line label shows what its lines hold, and speaks its whole spoken label.
    CardText twoLines(reason);
    twoLines.setMaximumLines(2);
    cardview::setAccessibilityLabel(&twoLines, QStringLiteral("Conversation use: ") + reason);
    EXPECT_TRUE(QAccessible::queryAccessibleInterface(&twoLines)->text(QAccessible::Name) ==
                QStringLiteral("Conversation use: ") + reason);
    EXPECT_TRUE(cardBoundedText(rationale, true, cardTextDefaultLimit) == rationale);
}

// ---- direction and script runs --------------------------------------------------------------------

TEST(CardTextBounds, TextAlternatingDirectionAtEveryLetterIsBoundedInRuns) {
    // Latin and Hebrew letters alternating, no blank: every letter starts a run.
    QString letters;
    for (int i = 0; i < 30'000; ++i)
        letters += i % 2 ? QChar(0x05D0 + i % 27) : QChar(u'a' + i % 26);
    const qsizetype runs = cardTextRunLimit(cardTextDefaultLimit);
    ASSERT_LT(runs, letters.size());
    const QString shown = CardText(letters).text();
    EXPECT_TRUE(shown == letters.left(runs) + ellipsis) << shown.size();
    // At the limit of runs it is whole.
    EXPECT_TRUE(CardText(letters.left(runs)).text() == letters.left(runs));
    // A number inside right-to-left text is a run of its own; in left-to-right text it is not.
    QString numbers;
    for (int i = 0; i < runs; ++i)
        numbers += QChar(0x05D0) + QString::number(i % 10);
    EXPECT_TRUE(CardText(numbers).text() == numbers.left(runs) + ellipsis);
    EXPECT_TRUE(CardText(QStringLiteral("a1").repeated(runs)).text() == QStringLiteral("a1").repeated(runs));
    // Scripts of one direction alternating are runs too; marks and blanks join the run they are in.
    QString scripts;
    for (int i = 0; i < runs; ++i)
        scripts += QStringLiteral("a\u0436");
    EXPECT_TRUE(CardText(scripts).text() == scripts.left(runs) + ellipsis);
    const QString marked = QStringLiteral("e\u0301 ").repeated(cardTextDefaultLimit / 3);
    EXPECT_TRUE(CardText(marked).text() == marked);
}

TEST(CardTextBounds, TextChangingDirectionEveryFewWordsStaysWholeUpToTheLimit) {
    // A few words of each direction at a time: 18 code units a run on average.
    const QString phrases =
        QStringLiteral("some English words \u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD "
                       "\u05D5\u05DE\u05DC\u05D5\u05D0\u05D5 ");
    ASSERT_EQ(phrases.size(), 36);
    const QString label = phrases.repeated(cardTextDefaultLimit / phrases.size());
    EXPECT_TRUE(CardText(label).text() == label);
    const QString section = phrases.repeated(requestLogSectionLimit / phrases.size());
    EXPECT_TRUE(cardBoundedText(section, true, requestLogSectionLimit) == section);
    // Word by word, within the label's smallest budget of runs.
    const QString words = QStringLiteral("abc \u05E9\u05DC\u05DD ").repeated(cardTextRunLimit(0) / 2);
    EXPECT_TRUE(CardText(words).text() == words);
}

// ---- long words ----------------------------------------------------------------------------------

namespace {

// Where plain word wrapping ends each line of `text` at `width`: the reference the card's lines
// must match.
std::vector<int> wordWrappedLineEnds(const QString& text, const QFont& font, double width) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    std::vector<int> ends;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLeadingIncluded(true);
        line.setLineWidth(width);
        ends.push_back(line.textStart() + line.textLength());
    }
    layout.endLayout();
    return ends;
}

} // namespace

TEST(CardTextLongWords, ALongWordBreaksOnlyWhereTheLineIsFull) {
    const QFont font = cardFont(13);
    const double width = 270;
    struct Case {
        const char* what;
        QString text;
    };
    const Case cases[] = {
        {"one long word", QString(1000, QLatin1Char('w'))},
        {"after a short word", QStringLiteral("Why: ") + QString(1000, QLatin1Char('w'))},
        {"between words", QStringLiteral("A few words, then ") + QString(700, QLatin1Char('q')) +
                              QStringLiteral(" and a few after it to end the paragraph.")},
        {"two long words",
         QString(300, QLatin1Char('m')) + QLatin1Char(' ') + QString(600, QLatin1Char('n'))},
    };
    for (const Case& c : cases) {
        CardText label(c.text);
        label.setTextFont(font);
        const std::vector<int> expected = wordWrappedLineEnds(label.text(), font, width);
        EXPECT_EQ(label.lineCount(width), int(expected.size())) << c.what;
        EXPECT_GT(label.linesCutByCharacter(width), 0) << c.what;
    }
    // Text with break opportunities everywhere has no long word, however long it is.
    CardText cjk(QStringLiteral("文字。").repeated(400));
    cjk.setTextFont(font);
    EXPECT_EQ(cjk.lineCount(width), int(wordWrappedLineEnds(cjk.text(), font, width).size()));
    EXPECT_EQ(cjk.linesCutByCharacter(width), 0);
}

// A 200,000-unit word gets its lines without looking for its end on each: all but the lines that
// start in its last stretch are cut at once, each full, so its line count at a width is known.
TEST(CardTextLongWords, AHugeWordIsCutLineByLineAtOnce) {
    const QFont font = cardFont(13);
    const double width = 270;
    const std::vector<int> reference = wordWrappedLineEnds(QString(1000, QLatin1Char('x')), font, width);
    const int perLine = reference.front();
    ASSERT_GT(perLine, 10);
    CardText word;
    word.setTextFont(font);
    word.setDisplayLimit(requestLogSectionLimit);
    word.setText(QString(200'000, QLatin1Char('x')));
    const int lines = word.lineCount(width);
    EXPECT_EQ(lines, (200'000 + perLine - 1) / perLine);
    EXPECT_GE(word.linesCutByCharacter(width), lines - 256 / perLine - 1);
}

// Selecting with the keyboard steps a character at a time through a word longer than many lines,
// across every place the word is cut.
TEST(CardTextSelection, KeyboardSelectionStepsAcrossTheLinesOfALongWord) {
    const QString word(600, QLatin1Char('z'));
    CardText label(word);
    label.resize(200, 800);
    label.setSelectable(true);
    ASSERT_GT(label.lineCount(196), 5);
    press(&label, QKeySequence::SelectAll);
    for (int i = 0; i < 200; ++i)
        press(&label, QKeySequence::SelectPreviousChar);
    EXPECT_EQ(label.selectedText().size(), 400);

    CardText fromStart(QStringLiteral("Why: ") + word);
    fromStart.resize(200, 800);
    fromStart.setSelectable(true);
    for (int i = 0; i < 300; ++i)
        press(&fromStart, QKeySequence::SelectNextChar);
    EXPECT_EQ(fromStart.selectedText(), (QStringLiteral("Why: ") + word).left(300));
    // A line down and back up again returns to the same place.
    press(&fromStart, QKeySequence::SelectNextLine);
    press(&fromStart, QKeySequence::SelectPreviousLine);
    EXPECT_EQ(fromStart.selectedText().size(), 300);
}
