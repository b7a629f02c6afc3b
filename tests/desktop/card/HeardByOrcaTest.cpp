// What a person using Orca hears of the card: real key presses on a virtual display, and each
// sentence counted in what Orca itself decided to speak. Each outcome is heard exactly once,
// whichever control has the keyboard afterwards and whether or not the person is still in the
// card's window. Runs only under run-with-orca inside run-accessibility-bus-test with a window
// manager chosen.

#include "desktop/card/RailViewController.h"
#include "tests/desktop/card/CardTestSupport.h"
#include "tests/support/AccessibilityBus.h"
#include "tests/support/OrcaSpeech.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::cardtest;
using namespace quillmere::testing;

namespace {

const QString applying = QStringLiteral("Applying model and reasoning…");
const QString confirmed = QStringLiteral("Model and reasoning confirmed for the next send.");
const QString failed = QStringLiteral(
    "Couldn’t confirm the model and reasoning setting. Try again, or use Claude’s model picker.");

class HeardByOrca : public ::testing::Test {
protected:
    void SetUp() override {
        if (OrcaSpeech::debugFile().isEmpty() || !windowSystemTest())
            GTEST_SKIP() << "needs the Orca of run-with-orca, on the display of run-accessibility-bus-test "
                            "with a window manager chosen";
        ASSERT_TRUE(orca.isOpen()) << "Orca's debug file cannot be read";
        window.setWindowTitle(QStringLiteral("Quillmere"));
        card.view()->setParent(&window);
        window.resize(640, 720);
        card.view()->resize(640, 720);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(waitUntil([&] { return window.isActiveWindow(); }, 5000))
            << "the card's window is not active";
        ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
        ASSERT_TRUE(orca.listening()) << "Orca says nothing the card announces";
    }

    // Opens the expanded mode by the ask panel, whose preset pop-up takes the keyboard on the next
    // turn; whether it did.
    bool openAsk() {
        card.openAskQuillmere();
        return waitUntil([&] { return QApplication::focusWidget() == card.askPreset(); }, 2000);
    }

    QWidget window;
    RailViewController card;
    OrcaSpeech orca{[this](const QString& text) { card.announce(text); }};
};

enum class Mode { normal, expandedWithDetails, expandedWithoutDetails };

struct SwitchRow {
    Mode mode;
    bool success;
    bool elsewhere; // the person goes on to another window while the switch runs
    bool stale = false;

    std::string name() const {
        std::string text = mode == Mode::normal                ? "normal mode"
                           : mode == Mode::expandedWithDetails ? "expanded with \"Why this switch?\""
                                                               : "expanded without \"Why this switch?\"";
        text += success ? ", succeeding" : stale ? ", failing while the card is stale" : ", failing";
        return text + (elsewhere ? ", the person in another window" : ", the person in the card");
    }
};

std::vector<SwitchRow> switchRows() {
    std::vector<SwitchRow> rows;
    for (const Mode mode : {Mode::normal, Mode::expandedWithDetails, Mode::expandedWithoutDetails})
        for (const bool elsewhere : {false, true})
            for (const bool success : {true, false})
                rows.push_back({mode, success, elsewhere});
    // The button stays grey after the failure too: no control of the switch part is offered.
    rows.push_back({Mode::expandedWithoutDetails, false, false, true});
    return rows;
}

} // namespace

// "Switch to …" pressed with Space: the progress is heard once as the feedback line takes the
// keyboard, and the outcome once, in every mode, with and without a control of the switch part to
// take the keyboard back, and with the person in the card or gone on to another window.
TEST_F(HeardByOrca, EachSwitchIsHeardOnceFromProgressToOutcome) {
    QWidget elsewhere;
    elsewhere.setWindowTitle(QStringLiteral("Elsewhere"));
    elsewhere.resize(200, 100);
    for (const SwitchRow& row : switchRows()) {
        SCOPED_TRACE(row.name());
        // Back in the card (without a window manager, nothing activates it when the other window
        // goes).
        window.activateWindow();
        ASSERT_TRUE(waitUntil([&] { return window.isActiveWindow(); }, 5000))
            << "the card's window is not active";
        const Recommendation shown = row.mode == Mode::expandedWithoutDetails ? sonnetWithFit() : sonnet();
        card.show(shown);
        if (row.mode == Mode::normal) {
            for (int i = 0; i < 2 && (card.expanded() || card.minimized()); ++i)
                card.toggleExpanded();
        } else if (!card.expanded()) {
            ASSERT_TRUE(openAsk());
        }
        card.layoutIfNeeded();
        ASSERT_EQ(card.expanded(), row.mode != Mode::normal);
        ASSERT_FALSE(card.minimized());
        if (row.mode != Mode::normal) {
            ASSERT_EQ(card.detailsButton()->isVisible(), row.mode == Mode::expandedWithDetails);
        }
        ASSERT_TRUE(card.useButton()->isEnabled());
        ASSERT_TRUE(orca.readyOn(card.useButton())) << "the keyboard is not on the switch";

        pressKey(QStringLiteral("space"));
        ASSERT_TRUE(waitUntil([&] { return card.applying(); }, 3000)) << "Space did not switch";
        orca.waitFor(applying, 8000);
        if (row.elsewhere) {
            elsewhere.show();
            elsewhere.activateWindow();
            ASSERT_TRUE(waitUntil([&] { return elsewhere.isActiveWindow(); }, 5000))
                << "the other window is not active";
        }
        if (row.stale)
            card.setRecommendationStale(true);
        card.showApplyResult(row.success, shown);
        const QString outcome = row.success ? confirmed : failed;
        EXPECT_EQ(orca.heard(outcome), 1) << "Orca said: " << orca.said();
        EXPECT_EQ(orca.count(applying), 1) << "Orca said: " << orca.said();
        orca.tell(row.name());
        if (row.elsewhere)
            elsewhere.hide();
    }
}

// Ask pressed with Space on its button: "Finding the best model…" is heard once as the answer line
// takes the keyboard, then the answer or the failure once. A question too short, asked with Return
// in the field, is refused once.
TEST_F(HeardByOrca, EachAskIsHeardOnce) {
    card.show(sonnet());
    ASSERT_TRUE(openAsk());
    card.layoutIfNeeded();
    const QString finding = QStringLiteral("Finding the best model…");
    const QString couldNot = QStringLiteral("Quillmere couldn’t get a recommendation. Try again.");
    const QString answer = QStringLiteral("Recommended model: ");
    for (const bool answered : {true, false}) {
        SCOPED_TRACE(answered ? "answered" : "failed");
        card.askField()->setText(QStringLiteral("Plan a database migration"));
        ASSERT_TRUE(orca.readyOn(card.askButton())) << "the keyboard is not on Ask";
        pressKey(QStringLiteral("space"));
        ASSERT_TRUE(waitUntil([&] { return !card.askButton()->isEnabled(); }, 3000)) << "Space did not ask";
        orca.waitFor(finding, 8000);
        if (answered)
            card.showAskResult(sonnet());
        else
            card.showAskFailure(couldNot);
        EXPECT_EQ(orca.heard(answered ? answer : couldNot), 1) << "Orca said: " << orca.said();
        EXPECT_EQ(orca.count(finding), 1) << "Orca said: " << orca.said();
        orca.tell(answered ? "Ask answered" : "Ask failed");
    }
    SCOPED_TRACE("too short");
    card.askField()->setText(QStringLiteral("ab"));
    ASSERT_TRUE(orca.readyOn(card.askField())) << "the keyboard is not in the field";
    pressKey(QStringLiteral("Return"));
    EXPECT_EQ(orca.heard(QStringLiteral("Describe the task you want help choosing a model for.")), 1)
        << "Orca said: " << orca.said();
    orca.tell("Ask too short");
}
