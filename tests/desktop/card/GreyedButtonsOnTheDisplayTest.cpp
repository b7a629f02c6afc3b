// Buttons that grey themselves while their work runs, pressed with real keys on a virtual display
// with a screen reader's listener on the accessibility bus: the keyboard stays in the part of the
// card the person was in, what the card tells is heard once, and a second press meant for the
// button reaches nothing else. Runs only under run-accessibility-bus-test with a window manager.

#include "desktop/card/RailViewController.h"
#include "tests/desktop/card/CardTestSupport.h"
#include "tests/support/AccessibilityBus.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::cardtest;
using namespace quillmere::testing;

namespace {

// A card in a window of the display that has the keyboard, and the screen reader's two ears.
struct CardOnTheDisplay {
    CardOnTheDisplay() {
        window.setWindowTitle(QStringLiteral("Quillmere"));
        card.view()->setParent(&window);
        window.resize(640, 720);
        card.view()->resize(640, 720);
    }
    bool start() {
        if (listener.next(20000) != QStringLiteral("ready") || focus.next(20000) != QStringLiteral("ready"))
            return false;
        window.show();
        window.activateWindow();
        return waitUntil([&] { return window.isActiveWindow(); }, 5000) &&
               waitUntil([] { return QAccessible::isActive(); }, 20000) &&
               untilNotificationsAreHeard(listener, [this](const QString& text) { card.announce(text); });
    }
    // The name of what a screen reader last read as focused; empty when nothing took the focus.
    QString lastFocused() {
        const QStringList lines = focus.until(3000, 700);
        return lines.isEmpty() ? QString() : lines.last().section(u'\t', 2);
    }
    // Gives `control` the keyboard and presses `key` there, as a person does.
    static bool pressOn(QWidget* control, const QString& key) {
        control->setFocus(Qt::OtherFocusReason);
        if (!waitUntil([&] { return QApplication::focusWidget() == control; }, 2000))
            return false;
        pressKey(key);
        return true;
    }
    // Presses Space on "Switch to …" and lets the switch begin: whether it began with the feedback
    // line holding the keyboard, as it must.
    bool switchBySpace() {
        if (!pressOn(card.useButton(), QStringLiteral("space")))
            return false;
        if (!waitUntil([&] { return card.applying(); }, 3000))
            return false;
        turnFor(300);
        return QApplication::focusWidget() == card.feedback();
    }
    // Expanded with the ask panel open and no "Why this switch?" (the recommendation already fits):
    // no control of the switch part is offered once the switch ends. What was said so far is heard.
    void showExpandedWithoutDetails() {
        card.show(sonnetWithFit());
        card.openAskQuillmere();
        card.layoutIfNeeded();
        listener.notifications(3000, 500);
    }
    static QString focusedName() {
        QWidget* focused = QApplication::focusWidget();
        return focused ? QAccessible::queryAccessibleInterface(focused)->text(QAccessible::Name)
                       : QStringLiteral("nothing");
    }
    BusListener listener;
    BusListener focus{{QStringLiteral("focus")}};
    QWidget window;
    RailViewController card;
};

} // namespace

// "Switch to …" on a Claude host, a recommendation that is not already efficient: Space greys it,
// the feedback line holds the keyboard and is read once; a second Space does nothing; a failure
// brings the keyboard back to "Retry switch", a success to the nearest control before it.
TEST(GreyedButtonsOnTheDisplay, TheSwitchKeepsTheKeyboardAtTheSwitch) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    CardOnTheDisplay shown;
    RailViewController& card = shown.card;
    ASSERT_TRUE(shown.start()) << "no focus or no accessibility bridge";
    int switches = 0;
    card.onUse = [&switches](const Recommendation&) { ++switches; };
    card.show(sonnet());
    card.toggleExpanded();
    card.layoutIfNeeded();
    shown.listener.notifications(3000, 500);

    for (const bool success : {false, true}) {
        SCOPED_TRACE(success ? "confirmed" : "failed");
        card.useButton()->setFocus(Qt::OtherFocusReason);
        ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == card.useButton(); }, 2000));
        shown.focus.until(1000, 300);
        const int before = switches;
        pressKey(QStringLiteral("space"));
        ASSERT_TRUE(waitUntil([&] { return switches == before + 1; }, 3000)) << "Space did not switch";
        turnFor(300);
        EXPECT_EQ(QApplication::focusWidget(), card.feedback())
            << "the focus went to " << shown.focusedName().toStdString();
        EXPECT_EQ(shown.lastFocused(), QStringLiteral("Applying model and reasoning…"));
        EXPECT_EQ(shown.listener.notifications(1500, 500), QStringList()) << "the progress was said again";
        // Meant for the switch: nothing happens, the card keeps its mode.
        pressKey(QStringLiteral("space"));
        turnFor(300);
        EXPECT_EQ(switches, before + 1);
        EXPECT_FALSE(card.minimized()) << "the second Space collapsed the card";

        card.showApplyResult(success, sonnet());
        turnFor(100);
        const QString outcome =
            success ? QStringLiteral("Model and reasoning confirmed for the next send.")
                    : QStringLiteral("Couldn’t confirm the model and reasoning setting. Try again, or use "
                                     "Claude’s model picker.");
        QWidget* expected = success ? card.diagnosticsButton() : card.useButton();
        EXPECT_EQ(QApplication::focusWidget(), expected)
            << "the focus went to " << shown.focusedName().toStdString();
        EXPECT_EQ(shown.lastFocused(),
                  QAccessible::queryAccessibleInterface(expected)->text(QAccessible::Name));
        EXPECT_EQ(shown.listener.notifications(10000, 1000), QStringList{outcome});
    }
}

// A question too short, asked by Return and by Space on the button: the refusal is heard once, the
// keyboard stays where it was.
TEST(GreyedButtonsOnTheDisplay, AQuestionTooShortIsHeardOnce) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    CardOnTheDisplay shown;
    RailViewController& card = shown.card;
    ASSERT_TRUE(shown.start()) << "no focus or no accessibility bridge";
    QStringList asked;
    card.onAsk = [&asked](const QString& question) { asked << question; };
    card.show(sonnet());
    card.openAskQuillmere();
    card.layoutIfNeeded();
    shown.listener.notifications(3000, 500);
    const QString refusal = QStringLiteral("Describe the task you want help choosing a model for.");

    card.askField()->setText(QStringLiteral("ab"));
    card.askField()->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == card.askField(); }, 2000));
    pressKey(QStringLiteral("Return"));
    EXPECT_EQ(shown.listener.notifications(10000, 1000), QStringList{refusal});
    EXPECT_EQ(QApplication::focusWidget(), card.askField());
    // Asked again from the button: the line says the same, nothing new is said.
    card.askButton()->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == card.askButton(); }, 2000));
    pressKey(QStringLiteral("space"));
    EXPECT_EQ(shown.listener.notifications(2000, 500), QStringList());
    EXPECT_EQ(QApplication::focusWidget(), card.askButton());
    EXPECT_TRUE(asked.isEmpty());
    EXPECT_TRUE(card.expanded());
}

// The conversation changes while a switch pressed by Space runs: the feedback line is emptied and
// hidden, and the keyboard goes to the nearest control of the switch part ("View logs" in normal
// mode), or rests on the card itself when none is offered (expanded mode), never on "Close info",
// where one more Space would collapse the card.
TEST(GreyedButtonsOnTheDisplay, ANewConversationWhileSwitchingLeavesTheKeyboardInTheCard) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    CardOnTheDisplay shown;
    RailViewController& card = shown.card;
    ASSERT_TRUE(shown.start()) << "no focus or no accessibility bridge";
    struct Way {
        const char* mode;
        bool expanded;
        QWidget* keyboard;
        QString heard;
    };
    for (const Way& way :
         {Way{"normal mode", false, card.diagnosticsButton(), QStringLiteral("View Quillmere server logs")},
          Way{"expanded mode", true, card.view(), QStringLiteral("Quillmere recommendation")}}) {
        SCOPED_TRACE(way.mode);
        card.setConversation(QStringLiteral("first"), QStringLiteral("First chat"), true);
        card.show(sonnet(), QStringLiteral("first"));
        if (way.expanded) {
            card.openAskQuillmere();
            // The preset pop-up takes the keyboard on the next turn.
            ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == card.askPreset(); }, 2000));
        } else if (card.minimized()) {
            card.toggleExpanded();
        }
        card.layoutIfNeeded();
        ASSERT_TRUE(shown.switchBySpace()) << "Space did not switch, or the line did not take the keyboard";
        shown.focus.until(1000, 300);

        card.setConversation(QStringLiteral("second"), QStringLiteral("Second chat"), true);
        turnFor(300);
        EXPECT_FALSE(card.applying());
        EXPECT_EQ(QApplication::focusWidget(), way.keyboard)
            << "the focus went to " << shown.focusedName().toStdString();
        EXPECT_EQ(shown.lastFocused(), way.heard);
        if (way.keyboard != card.view())
            continue; // "View logs" opens the expanded mode, as it should
        // Resting on the card, a Space does nothing.
        pressKey(QStringLiteral("space"));
        turnFor(300);
        EXPECT_FALSE(card.minimized()) << "the next Space collapsed the card";
        EXPECT_TRUE(card.expanded());
    }
}

// Expanded, without "Why this switch?": once the switch ends no control of its part is offered (the
// button stays grey after a success, or while the card is stale), so the feedback line keeps the
// keyboard. A screen reader does not read the new text of the label it is on (Orca drops a label's
// name change), so the outcome is announced, once.
TEST(GreyedButtonsOnTheDisplay, AnOutcomeOnALineThatKeepsTheKeyboardIsAnnouncedOnce) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    CardOnTheDisplay shown;
    RailViewController& card = shown.card;
    ASSERT_TRUE(shown.start()) << "no focus or no accessibility bridge";
    shown.showExpandedWithoutDetails();
    const QString failed = QStringLiteral(
        "Couldn’t confirm the model and reasoning setting. Try again, or use Claude’s model picker.");
    for (const bool success : {true, false}) {
        SCOPED_TRACE(success ? "confirmed" : "failed while stale");
        card.show(sonnetWithFit());
        card.layoutIfNeeded();
        ASSERT_TRUE(shown.switchBySpace()) << "Space did not switch, or the line did not take the keyboard";
        shown.listener.notifications(1500, 500);
        if (!success)
            card.setRecommendationStale(true);
        card.showApplyResult(success, sonnetWithFit());
        turnFor(300);
        EXPECT_EQ(QApplication::focusWidget(), card.feedback())
            << "the focus went to " << shown.focusedName().toStdString();
        EXPECT_EQ(shown.focusedName(),
                  success ? QStringLiteral("Model and reasoning confirmed for the next send.") : failed);
        EXPECT_EQ(shown.listener.notifications(10000, 1000),
                  QStringList{success ? QStringLiteral("Model and reasoning confirmed for the next send.")
                                      : failed});
    }
}

// The same outcome, when the person went on to another window while the switch ran: the feedback line
// keeps the card's keyboard, but a screen reader reads nothing of a window that is not active, so the
// outcome is said, once, and the person stays in the window they chose.
TEST(GreyedButtonsOnTheDisplay, AnOutcomeOnALineOfAWindowThePersonLeftIsSaid) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    CardOnTheDisplay shown;
    RailViewController& card = shown.card;
    ASSERT_TRUE(shown.start()) << "no focus or no accessibility bridge";
    shown.showExpandedWithoutDetails();
    ASSERT_TRUE(shown.switchBySpace()) << "Space did not switch, or the line did not take the keyboard";
    shown.listener.notifications(1500, 500);

    QWidget elsewhere;
    elsewhere.setWindowTitle(QStringLiteral("Elsewhere"));
    elsewhere.resize(200, 100);
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return elsewhere.isActiveWindow(); }, 5000))
        << "the other window is not active";
    turnFor(300);
    card.showApplyResult(true, sonnetWithFit());
    turnFor(300);
    EXPECT_EQ(shown.window.focusWidget(), card.feedback());
    EXPECT_TRUE(elsewhere.isActiveWindow()) << "the card took the person back";
    EXPECT_EQ(shown.listener.notifications(10000, 1000),
              QStringList{QStringLiteral("Model and reasoning confirmed for the next send.")});
}

// While "Finding the best model…" holds the keyboard, Shift+Tab and Tab go on from the Ask button's
// place: back into the ask panel (the field is grey, so the preset pop-up), forward to the loop's
// next stop after the button ("Why this switch?"), never to "Switch to …" or "Close info".
TEST(GreyedButtonsOnTheDisplay, TabFromTheAnswerLineStaysBesideTheAskButton) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    CardOnTheDisplay shown;
    RailViewController& card = shown.card;
    ASSERT_TRUE(shown.start()) << "no focus or no accessibility bridge";
    int asked = 0;
    card.onAsk = [&asked](const QString&) { ++asked; };
    card.show(sonnet());
    card.openAskQuillmere();
    card.layoutIfNeeded();
    // The preset pop-up takes the keyboard on the next turn.
    ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == card.askPreset(); }, 2000));
    card.askField()->setText(QStringLiteral("Plan a database migration"));
    struct Step {
        const char* key;
        QWidget* lands;
    };
    for (const Step& step : {Step{"shift+Tab", card.askPreset()}, Step{"Tab", card.detailsButton()}}) {
        SCOPED_TRACE(step.key);
        const int before = asked;
        ASSERT_TRUE(shown.pressOn(card.askButton(), QStringLiteral("space")));
        ASSERT_TRUE(waitUntil([&] { return asked == before + 1; }, 3000)) << "nothing was asked";
        turnFor(300);
        ASSERT_EQ(QApplication::focusWidget(), card.askResult());
        shown.focus.until(1000, 300);
        pressKey(QString::fromLatin1(step.key));
        turnFor(300);
        EXPECT_EQ(QApplication::focusWidget(), step.lands)
            << "the focus went to " << shown.focusedName().toStdString();
        EXPECT_EQ(shown.lastFocused(),
                  QAccessible::queryAccessibleInterface(step.lands)->text(QAccessible::Name));
        card.showAskResult(sonnet());
        turnFor(100);
    }
}
