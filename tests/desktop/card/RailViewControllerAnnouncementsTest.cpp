// What the card says to assistive technology: every action the user should hear posts exactly one
// announcement, with its exact text and medium priority, for the card's view; every other action
// and every refused one posts none.

#include "desktop/card/RailViewController.h"
#include "platform/accessibility/Announcer.h"
#include "tests/desktop/card/CardTestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::cardtest;

namespace {

const QString applying = QStringLiteral("Applying model and reasoning…");
const QString confirmed = QStringLiteral("Model and reasoning confirmed for the next send.");

struct Row {
    const char* name;
    std::function<void(RailViewController&)> before; // not recorded
    std::function<void(RailViewController&)> action;
    std::vector<QString> announced;
};

void showAndSwitch(RailViewController& card, const Recommendation& recommendation) {
    card.show(recommendation);
    card.toggleExpanded();
    card.useRecommendation();
    ASSERT_TRUE(card.applying());
}

const std::vector<Row> rows = {
    {"switch pressed",
     [](auto& card) { card.show(sonnet()); },
     [](auto& card) { card.useRecommendation(); },
     {applying}},
    {"switch pressed by its button",
     [](auto& card) {
         card.show(sonnet());
         card.toggleExpanded();
     },
     [](auto& card) { card.useButton()->click(); },
     {applying}},
    {"switch pressed again while applying",
     [](auto& card) { showAndSwitch(card, sonnet()); },
     [](auto& card) {
         card.useRecommendation();
         card.useButton()->click();
     },
     {}},
    {"switch refused by the widget",
     [](auto& card) {
         card.validateUse = [] { return false; };
         card.show(sonnet());
     },
     [](auto& card) { card.useRecommendation(); },
     {}},
    {"switch of a ChatGPT setting, which the card leaves to the host",
     [](auto& card) { card.show(openAI()); },
     [](auto& card) { card.useRecommendation(); },
     {}},
    {"switch of an efficient setting",
     [](auto& card) { card.show(alreadyEfficient()); },
     [](auto& card) { card.useRecommendation(); },
     {}},
    {"switch confirmed",
     [](auto& card) { showAndSwitch(card, sonnet()); },
     [](auto& card) { card.showApplyResult(true, sonnet()); },
     {confirmed}},
    {"switch failed on Claude",
     [](auto& card) { showAndSwitch(card, sonnet()); },
     [](auto& card) { card.showApplyResult(false, sonnet()); },
     {QStringLiteral(
         "Couldn’t confirm the model and reasoning setting. Try again, or use Claude’s model picker.")}},
    {"switch failed while stale",
     [](auto& card) {
         showAndSwitch(card, sonnet());
         card.setRecommendationStale(true);
     },
     [](auto& card) { card.showApplyResult(false, sonnet()); },
     {QStringLiteral(
         "Couldn’t confirm the model and reasoning setting. Try again, or use Claude’s model picker.")}},
    {"result for another recommendation",
     [](auto& card) { showAndSwitch(card, sonnet()); },
     [](auto& card) { card.showApplyResult(true, sonnetWithFit()); },
     {}},
    {"result without a switch",
     [](auto& card) { card.show(sonnet()); },
     [](auto& card) { card.showApplyResult(true, sonnet()); },
     {}},
    {"second result of one switch",
     [](auto& card) {
         showAndSwitch(card, sonnet());
         card.showApplyResult(true, sonnet());
     },
     [](auto& card) { card.showApplyResult(false, sonnet()); },
     {}},
    {"details opened",
     [](auto& card) { card.show(sonnet()); },
     [](auto& card) { card.toggleDetails(); },
     {QStringLiteral("Recommendation details expanded")}},
    {"details opened by their button",
     [](auto& card) {
         card.show(sonnet());
         card.toggleExpanded();
     },
     [](auto& card) { card.detailsButton()->click(); },
     {QStringLiteral("Recommendation details expanded")}},
    {"details closed",
     [](auto& card) {
         card.show(sonnet());
         card.toggleDetails();
     },
     [](auto& card) { card.toggleDetails(); },
     {QStringLiteral("Recommendation details collapsed")}},
    {"details without a detail text",
     [](auto& card) { card.show(sonnetWithFit()); },
     [](auto& card) { card.toggleDetails(); },
     {}},
    {"details on an empty card", [](auto&) {}, [](auto& card) { card.toggleDetails(); }, {}},
    {"ask opened from compact",
     [](auto&) {},
     [](auto& card) { card.openAskQuillmere(); },
     {QStringLiteral("Ask Quillmere opened")}},
    {"ask opened by its button from normal",
     [](auto& card) { card.toggleExpanded(); },
     [](auto& card) { card.askEntryButton()->click(); },
     {QStringLiteral("Ask Quillmere opened")}},
    {"ask already open",
     [](auto& card) { card.openAskQuillmere(); },
     [](auto& card) { card.openAskQuillmere(); },
     {}},
    {"ask entry in connector mode",
     [](auto& card) { card.configureConnector(nullptr); },
     [](auto& card) { card.openAskQuillmere(); },
     {}},
    {"a question too short, by Return",
     [](auto& card) {
         card.openAskQuillmere();
         card.askField()->setText(QStringLiteral(" a\u00a0\t"));
     },
     [](auto& card) { emit card.askField()->returnPressed(); },
     {QStringLiteral("Describe the task you want help choosing a model for.")}},
    {"a question too short asked again: the line says nothing new",
     [](auto& card) {
         card.openAskQuillmere();
         card.submitAskForTesting(QStringLiteral("ab"));
     },
     [](auto& card) { card.askButton()->click(); },
     {}},
    {"mode changes",
     [](auto& card) { card.show(sonnet()); },
     [](auto& card) {
         card.toggleExpanded();
         card.showDiagnostics();
         card.collapse();
         card.toggleExpanded();
         card.toggleExpanded();
     },
     {}},
    {"a new presentation",
     [](auto& card) { card.show(sonnet()); },
     [](auto& card) {
         card.show(sonnetWithFit());
         card.setRecommendationStale(true);
         card.showLoading();
     },
     {}},
};

} // namespace

TEST(RailViewControllerAnnouncements, EachActionPostsExactlyWhatTheUserShouldHear) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RailViewController card;
        {
            ax::RecordingAnnouncer setup; // what the steps before the action post is not counted
            row.before(card);
        }
        ax::RecordingAnnouncer announcements;
        row.action(card);
        EXPECT_EQ(announcements.texts(), row.announced);
        for (const auto& posted : announcements.posted) {
            EXPECT_EQ(posted.view, card.view());
            EXPECT_EQ(posted.priority, ax::AnnouncementPriority::medium);
        }
    }
}

// Without a stand-in the card goes through the platform's delivery: a notification inside its view
// that carries the text, shown while the card is on screen.
TEST(RailViewControllerAnnouncements, ReachThePlatformsDeliveryWithoutAnyCallbackSet) {
    QWidget window;
    RailViewController card;
    card.view()->setParent(&window);
    window.show();
    ASSERT_TRUE(card.view()->isVisible());
    card.openAskQuillmere();
    QWidget* notification = ax::NotificationAnnouncer::notificationView(*card.view());
    ASSERT_NE(notification, nullptr);
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(notification);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->role(), QAccessible::Notification);
    EXPECT_EQ(iface->text(QAccessible::Name), QStringLiteral("Ask Quillmere opened"));
    EXPECT_TRUE(notification->isVisible());
}

namespace {

// A card in the active window at a size, its switch pressed from the keyboard.
struct SwitchedFromTheKeyboard {
    SwitchedFromTheKeyboard(const Recommendation& shown, bool expanded, QSize size) {
        card.view()->setParent(&window);
        window.resize(size);
        card.view()->resize(size);
        window.show();
        QApplication::setActiveWindow(&window);
        card.show(shown);
        if (expanded) {
            card.openAskQuillmere();
            QCoreApplication::processEvents(); // the preset pop-up takes the keyboard meanwhile
        } else {
            card.toggleExpanded();
        }
        card.layoutIfNeeded();
        card.useButton()->setFocus(Qt::OtherFocusReason);
    }
    QWidget window;
    RailViewController card;
};

} // namespace

// The outcome of a switch is announced once wherever the keyboard is: back on a control, or still
// on the feedback line when no control of the switch part is offered (expanded mode without "Why
// this switch?": the button stays grey after a success, or while the card is stale), where a screen
// reader does not read the focused line's new text; and with the person in another window.
TEST(RailViewControllerAnnouncements, TheOutcomeOfASwitchIsSaidOnceWhereverTheKeyboardIs) {
    const QString failed = QStringLiteral(
        "Couldn’t confirm the model and reasoning setting. Try again, or use Claude’s model picker.");
    struct Row {
        const char* name;
        Recommendation shown;
        bool expanded;
        bool stale;
        bool success;
        bool lineKeeps;
        QString outcome;
        bool away = false; // another window is active when the switch ends
    };
    const Row rows[] = {
        {"normal mode, confirmed", sonnetWithFit(), false, false, true, false, confirmed},
        {"expanded with details, confirmed", sonnet(), true, false, true, false, confirmed},
        {"expanded without details, confirmed", sonnetWithFit(), true, false, true, true, confirmed},
        {"expanded without details, failed while stale", sonnetWithFit(), true, true, false, true, failed},
        {"expanded without details, failed", sonnetWithFit(), true, false, false, false, failed},
        {"expanded without details, confirmed while another window is active", sonnetWithFit(), true, false,
         true, true, confirmed, true},
        {"normal mode, confirmed while another window is active", sonnetWithFit(), false, false, true, false,
         confirmed, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SwitchedFromTheKeyboard shown(row.shown, row.expanded, QSize(row.expanded ? 640 : 310, 720));
        RailViewController& card = shown.card;
        {
            ax::RecordingAnnouncer progress;
            card.useButton()->click();
            ASSERT_EQ(QApplication::focusWidget(), card.feedback());
            EXPECT_EQ(progress.texts(), std::vector<QString>()) << "read as the focused line already";
        }
        if (row.stale)
            card.setRecommendationStale(true);
        QWidget elsewhere;
        if (row.away) {
            elsewhere.show();
            QApplication::setActiveWindow(&elsewhere);
        }
        ax::RecordingAnnouncer announcements;
        card.showApplyResult(row.success, row.shown);
        card.layoutIfNeeded();
        EXPECT_EQ(shown.window.focusWidget() == card.feedback(), row.lineKeeps);
        EXPECT_EQ(QApplication::activeWindow(), row.away ? &elsewhere : &shown.window);
        EXPECT_EQ(QAccessible::queryAccessibleInterface(card.feedback())->text(QAccessible::Name),
                  row.outcome);
        EXPECT_EQ(announcements.texts(), std::vector<QString>{row.outcome});
    }
}

// On an expanded card too short to show its body, the feedback line cannot take the keyboard from
// the switch: "Applying…" is then said, and the keyboard rests on the card, not on "Close info".
TEST(RailViewControllerAnnouncements, AProgressLineThatCannotTakeTheKeyboardIsSaid) {
    SwitchedFromTheKeyboard shown(sonnet(), true, QSize(640, 260));
    RailViewController& card = shown.card;
    ASSERT_TRUE(card.scroll()->isHidden()) << "the body still shows";
    ASSERT_TRUE(card.useButton()->isVisible());
    ax::RecordingAnnouncer announcements;
    card.useButton()->click();
    EXPECT_EQ(announcements.texts(), std::vector<QString>{applying});
    EXPECT_EQ(QApplication::focusWidget(), card.view());
}
