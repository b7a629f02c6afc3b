// The ask panel with real key presses on a virtual display and a screen reader's listener on the
// accessibility bus: a question asked from the field (Return) or the button (Space) keeps the
// keyboard in the ask panel while it is on its way, gives it back to the control it was asked from
// when the answer or the failure arrives, and the answer is spoken once. Runs only under
// run-accessibility-bus-test with a window manager chosen.

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

TEST(AskPanelOnTheDisplay, AskingKeepsTheKeyboardInTheAskPanelAndSpeaksTheAnswerOnce) {
    if (!windowSystemTest())
        GTEST_SKIP() << "needs the display of run-accessibility-bus-test with a window manager chosen";
    BusListener listener;
    ASSERT_EQ(listener.next(20000), QStringLiteral("ready"));
    // What a screen reader reads as the focused element.
    BusListener focus({QStringLiteral("focus")});
    ASSERT_EQ(focus.next(20000), QStringLiteral("ready"));
    const auto lastFocused = [&focus] {
        const QStringList lines = focus.until(3000, 700);
        return lines.isEmpty() ? QString() : lines.last().section(u'\t', 2);
    };
    QWidget window;
    window.setWindowTitle(QStringLiteral("Quillmere"));
    RailViewController card;
    card.view()->setParent(&window);
    window.resize(640, 720);
    card.view()->resize(640, 720);
    QStringList asked;
    card.onAsk = [&asked](const QString& question) { asked << question; };
    window.show();
    window.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return window.isActiveWindow(); }, 5000)) << "the card never took the focus";
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    card.show(sonnet());
    card.openAskQuillmere();
    card.layoutIfNeeded();
    listener.notifications(3000, 500);
    const QList<QWidget*> askPanel = {card.askPreset(), card.askField(), card.askButton(), card.askResult()};
    const auto spokenResult = [&card] {
        return QAccessible::queryAccessibleInterface(card.askResult())->text(QAccessible::Name);
    };

    struct Way {
        const char* what;
        QWidget* control;
        QString key;
    };
    for (const Way& way : {Way{"from the button", card.askButton(), QStringLiteral("space")},
                           Way{"from the field", card.askField(), QStringLiteral("Return")}}) {
        SCOPED_TRACE(way.what);
        card.askField()->setText(QStringLiteral("Plan a database migration"));
        way.control->setFocus(Qt::OtherFocusReason);
        ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget() == way.control; }, 2000));
        const QString controlName =
            QAccessible::queryAccessibleInterface(way.control)->text(QAccessible::Name);
        focus.until(1000, 300);
        const qsizetype before = asked.size();
        pressKey(way.key);
        ASSERT_TRUE(waitUntil([&] { return asked.size() == before + 1; }, 3000)) << "nothing was asked";
        turnFor(300);
        EXPECT_TRUE(askPanel.contains(QApplication::focusWidget()))
            << "the focus left the ask panel for "
            << (QApplication::focusWidget() ? QApplication::focusWidget()->accessibleName().toStdString()
                                            : "nothing");
        // The screen reader reads what the panel is doing, not another control.
        EXPECT_EQ(lastFocused(), QStringLiteral("Finding the best model\u2026"));
        // Pressed again while the question is on its way: nothing is asked, nothing closes.
        pressKey(way.key);
        turnFor(300);
        EXPECT_EQ(asked.size(), before + 1);
        EXPECT_TRUE(card.expanded()) << "the card left the ask panel";

        // The answer: the focus is back where the question was asked, the answer spoken once.
        listener.notifications(500, 0);
        card.showAskResult(sonnet());
        turnFor(100);
        EXPECT_EQ(QApplication::focusWidget(), way.control) << "the focus did not come back";
        EXPECT_EQ(lastFocused(), controlName) << "a screen reader does not read the control again";
        EXPECT_EQ(listener.notifications(10000, 1000), QStringList{spokenResult()});
        // Asked again with the same key.
        pressKey(way.key);
        ASSERT_TRUE(waitUntil([&] { return asked.size() == before + 2; }, 3000))
            << "the key did not ask again";
        EXPECT_TRUE(card.expanded());

        // A failure comes back the same way.
        const QString failure = QStringLiteral("Quillmere couldn\u2019t get a recommendation. Try again.");
        card.showAskFailure(failure);
        turnFor(100);
        EXPECT_EQ(QApplication::focusWidget(), way.control) << "the focus did not come back after a failure";
        EXPECT_EQ(listener.notifications(10000, 1000), QStringList{failure});
    }
}
