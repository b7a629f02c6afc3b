// Where the keyboard goes when a control greys itself while its work runs: to the progress line
// meanwhile, then back to the control pressed, else to the nearest control of its part offered
// again, and never back over a person who moved it elsewhere.

#include "desktop/card/KeyboardHold.h"

#include <QApplication>
#include <QPushButton>
#include <QVBoxLayout>
#include <functional>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

// A part of three controls (the middle one greys itself) and its progress line, in an active window.
struct Part {
    Part() {
        auto* layout = new QVBoxLayout(&window);
        for (QPushButton* control : {&before, &pressed, &after, &elsewhere})
            layout->addWidget(control);
        layout->addWidget(&line);
        window.show();
        QApplication::setActiveWindow(&window);
    }
    QWidget window;
    QPushButton before{QStringLiteral("Before"), &window};
    QPushButton pressed{QStringLiteral("Pressed"), &window};
    QPushButton after{QStringLiteral("After"), &window};
    QPushButton elsewhere{QStringLiteral("Elsewhere"), &window};
    QPushButton line{QStringLiteral("Working…"), &window};
    std::vector<QWidget*> controls() { return {&before, &pressed, &after}; }
};

struct Row {
    const char* name;
    std::function<void(Part&)> meanwhile; // while the work runs, after `pressed` greyed itself
    std::function<void(Part&)> ended;     // the controls as the work leaves them
    std::function<QWidget*(Part&)> focused;
    bool kept; // the line still holds the keyboard
};

const std::vector<Row> rows = {
    {"offered again", [](Part&) {}, [](Part& p) { p.pressed.setEnabled(true); },
     [](Part& p) -> QWidget* { return &p.pressed; }, false},
    {"not offered: the nearest, the one before it when two are as near", [](Part&) {}, [](Part&) {},
     [](Part& p) -> QWidget* { return &p.before; }, false},
    {"not offered, the one before hidden", [](Part&) {}, [](Part& p) { p.before.hide(); },
     [](Part& p) -> QWidget* { return &p.after; }, false},
    {"nothing of the part offered: the line keeps it, never another control", [](Part&) {},
     [](Part& p) {
         p.before.setEnabled(false);
         p.after.setEnabled(false);
     },
     [](Part& p) -> QWidget* { return &p.line; }, true},
    {"moved elsewhere meanwhile: left there", [](Part& p) { p.elsewhere.setFocus(); },
     [](Part& p) { p.pressed.setEnabled(true); }, [](Part& p) -> QWidget* { return &p.elsewhere; }, false},
    // The work made void (a new conversation empties the line, the card is collapsed or hidden):
    // Qt would hand the keyboard to the control after the line in the window, here "Elsewhere".
    {"the line hidden: the nearest offered control of the part, not the next in the window",
     [](Part& p) { QWidget::setTabOrder(&p.line, &p.elsewhere); }, [](Part& p) { p.line.hide(); },
     [](Part& p) -> QWidget* { return &p.before; }, false},
    {"the line hidden with nothing of the part offered: the view holding the part, no control", [](Part&) {},
     [](Part& p) {
         p.before.setEnabled(false);
         p.after.setEnabled(false);
         p.line.hide();
     },
     [](Part& p) -> QWidget* { return &p.window; }, false},
};

} // namespace

TEST(KeyboardHold, TheKeyboardWaitsOnTheProgressLineAndGoesBackWithinThePart) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Part part;
        part.pressed.setFocus();
        KeyboardHold hold;
        EXPECT_TRUE(hold.hold({&part.after, &part.pressed}, &part.line, part.controls()));
        part.pressed.setEnabled(false);
        EXPECT_EQ(QApplication::focusWidget(), &part.line) << "the line does not hold the keyboard";
        row.meanwhile(part);
        row.ended(part);
        hold.release();
        EXPECT_EQ(QApplication::focusWidget(), row.focused(part));
        EXPECT_EQ(hold.keepsKeyboard(), row.kept);
    }
}

// A line kept while nothing was offered gives the keyboard on once a control comes back; a press
// from outside the greyed controls (the mouse left the keyboard elsewhere) takes nothing.
TEST(KeyboardHold, KeepsUntilAControlComesBackAndTakesNothingItWasNotGiven) {
    Part part;
    part.pressed.setFocus();
    KeyboardHold hold;
    ASSERT_TRUE(hold.hold({&part.pressed}, &part.line, {&part.pressed}));
    part.pressed.setEnabled(false);
    hold.release();
    EXPECT_EQ(QApplication::focusWidget(), &part.line);
    part.pressed.setEnabled(true);
    hold.release();
    EXPECT_EQ(QApplication::focusWidget(), &part.pressed);
    EXPECT_FALSE(hold.keepsKeyboard());

    part.elsewhere.setFocus();
    EXPECT_FALSE(hold.hold({&part.pressed}, &part.line, part.controls()));
    part.pressed.setEnabled(false);
    part.pressed.setEnabled(true);
    hold.release();
    EXPECT_EQ(QApplication::focusWidget(), &part.elsewhere);
}

// Another control greys itself while the line holds the keyboard for the first (a link expiring
// while Disconnect's work runs): the hold in progress stays, and the keyboard still comes back.
TEST(KeyboardHold, ASecondHoldWithoutTheKeyboardLeavesTheFirstInPlace) {
    Part part;
    part.pressed.setFocus();
    KeyboardHold hold;
    ASSERT_TRUE(hold.hold({&part.pressed}, &part.line, part.controls()));
    part.pressed.setEnabled(false);
    EXPECT_FALSE(hold.hold({&part.after}, &part.line, part.controls()));
    part.after.setEnabled(false);
    EXPECT_TRUE(hold.keepsKeyboard());
    part.pressed.setEnabled(true);
    hold.release();
    EXPECT_EQ(QApplication::focusWidget(), &part.pressed) << "the keyboard stayed on the progress line";
}

// A line that cannot take the keyboard (hidden) is not reported as holding it, so the caller says
// the progress; the keyboard rests where no key acts rather than on the control after it.
TEST(KeyboardHold, ALineThatCannotTakeTheKeyboardIsNotReportedAsHoldingIt) {
    Part part;
    QWidget::setTabOrder(&part.pressed, &part.elsewhere);
    part.line.hide();
    part.pressed.setFocus();
    KeyboardHold hold;
    EXPECT_FALSE(hold.hold({&part.pressed}, &part.line, part.controls()));
    part.pressed.setEnabled(false);
    EXPECT_FALSE(hold.keepsKeyboard());
    EXPECT_EQ(QApplication::focusWidget(), &part.window);
    EXPECT_EQ(KeyboardHold::standingFor(&part.line), nullptr);
}

// While the line holds the keyboard it stands for the control pressed, for the keyboard loop; once
// the keyboard has left it, for nothing.
TEST(KeyboardHold, TheLineStandsForTheControlPressedWhileItHoldsTheKeyboard) {
    Part part;
    part.after.setFocus();
    KeyboardHold hold;
    ASSERT_TRUE(hold.hold({&part.pressed, &part.after}, &part.line, part.controls()));
    part.after.setEnabled(false);
    EXPECT_EQ(KeyboardHold::standingFor(&part.line), &part.after);
    EXPECT_EQ(KeyboardHold::standingFor(&part.before), nullptr);
    part.elsewhere.setFocus();
    EXPECT_EQ(KeyboardHold::standingFor(&part.line), nullptr);
}

// A screen reader follows the active window only: a line holding the keyboard of a window the
// person has left is not read as focused, so what it tells has to be said. That holds for a hold
// begun there (a press reaching a control of an inactive window, as an assistive technology's
// action does) and for one whose window the person left while it ran; back in the window, it is.
TEST(KeyboardHold, ALineInAWindowThePersonLeftIsNotReadAsFocused) {
    for (const bool leftBeforeThePress : {true, false}) {
        SCOPED_TRACE(leftBeforeThePress ? "left before the press" : "left while the work runs");
        Part part;
        part.pressed.setFocus();
        QWidget elsewhere;
        elsewhere.show();
        if (leftBeforeThePress)
            QApplication::setActiveWindow(&elsewhere);
        KeyboardHold hold;
        EXPECT_EQ(hold.hold({&part.pressed}, &part.line, part.controls()), !leftBeforeThePress);
        part.pressed.setEnabled(false);
        EXPECT_EQ(part.window.focusWidget(), &part.line) << "the line does not hold the keyboard";
        QApplication::setActiveWindow(&elsewhere);
        EXPECT_TRUE(hold.keepsKeyboard());
        EXPECT_FALSE(hold.readAsFocused());
        QApplication::setActiveWindow(&part.window);
        EXPECT_TRUE(hold.readAsFocused());
        // Nor is it once the person has moved the keyboard on, before the work ends.
        part.elsewhere.setFocus();
        EXPECT_FALSE(hold.readAsFocused());
        part.pressed.setEnabled(true);
        hold.release();
        EXPECT_EQ(QApplication::focusWidget(), &part.elsewhere);
    }
}
