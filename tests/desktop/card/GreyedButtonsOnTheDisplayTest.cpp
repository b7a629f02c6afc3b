// Buttons that grey themselves while their work runs, pressed with real keys on a virtual display
// with a screen reader's listener on the accessibility bus: the keyboard stays in the part of the
// card the person was in, what the card tells is heard once, and a second press meant for the
// button reaches nothing else. Runs only under run-accessibility-bus-test with a window manager.

#include "desktop/card/RailViewController.h"
#include "tests/desktop/card/CardTestSupport.h"
#include "tests/support/AccessibilityBus.h"

#include <QAccessible>
#include <QApplication>
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
