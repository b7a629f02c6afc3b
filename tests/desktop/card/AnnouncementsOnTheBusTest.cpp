// The card's announcements as a Linux screen reader receives them: on the accessibility bus, each
// one as a notification that starts showing, named by the announcement's text. Runs only on the
// display and private accessibility bus that run-accessibility-bus-test sets up; a listener
// process stands in for the screen reader.

#include "desktop/card/CardViews.h"
#include "desktop/card/RailViewController.h"
#include "tests/desktop/card/CardTestSupport.h"
#include "tests/support/AccessibilityBus.h"

#include <QAccessible>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

using namespace quillmere;
using namespace quillmere::cardtest;
using quillmere::testing::BusListener;
using quillmere::testing::waitUntil;

namespace {

// Qt's messages while it lives (the bridge's warnings among them), passed on as they were.
class MessageLog {
public:
    MessageLog() { previous() = qInstallMessageHandler(&MessageLog::handle); }
    ~MessageLog() { qInstallMessageHandler(previous()); }
    static QStringList& lines() {
        static QStringList all;
        return all;
    }

private:
    static QtMessageHandler& previous() {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        lines() << QString::fromLatin1(context.category ? context.category : "") + u' ' + message;
        if (previous())
            previous()(type, context, message);
    }
};

// A card in a window on the display, as a panel holds it.
struct ShownCard {
    explicit ShownCard(int height) {
        window.setWindowTitle(QStringLiteral("Quillmere"));
        card.view()->setParent(&window);
        window.resize(320, height);
        card.view()->resize(320, height);
        window.show();
    }
    QWidget window;
    RailViewController card;
};

// Until the bridge has heard that a reader listens for names (it learns that on its own time), a
// label's name change could still go unsent: changes the window's name until the listener hears it.
bool untilNamesAreHeard(BusListener& listener, QWidget& window) {
    for (int i = 0; i < 40; ++i) {
        window.setAccessibleName(QStringLiteral("Quillmere %1").arg(i));
        for (std::optional<QString> line = listener.next(500); line; line = listener.next(50))
            if (line->startsWith(QStringLiteral("name\t")))
                return true;
    }
    return false;
}

// The card's text views in a window: a label, a button described by its tool tip and a button with
// a description of its own, as the card uses them.
struct TextViews {
    TextViews() {
        window.setWindowTitle(QStringLiteral("Quillmere"));
        window.resize(320, 120);
        label = new CardText(QStringLiteral("First text"), &window);
        label->setGeometry(10, 10, 300, 24);
        tipped = new CardButton(QStringLiteral("Tipped"), &window);
        tipped->setGeometry(10, 40, 120, 28);
        cardview::setAccessibilityLabel(tipped, QStringLiteral("Tipped"));
        described = new CardButton(QStringLiteral("Described"), &window);
        described->setGeometry(140, 40, 120, 28);
        cardview::setAccessibilityLabel(described, QStringLiteral("Described"));
        described->setAccessibleDescription(QStringLiteral("Its own description"));
        window.show();
    }
    QWidget window;
    CardText* label = nullptr;
    CardButton* tipped = nullptr;
    CardButton* described = nullptr;
};

// One change to the text views and the name and description changes it must cause: how many of
// each, for the view changed.
struct TextChange {
    enum class View { label, tipped, described };
    enum class Kind { text, toolTip, spokenLabel };
    const char* what;
    View view;
    Kind kind;
    const char* text;
    int names;
    int descriptions;

    QWidget* of(TextViews& views) const {
        return view == View::label    ? static_cast<QWidget*>(views.label)
               : view == View::tipped ? static_cast<QWidget*>(views.tipped)
                                      : static_cast<QWidget*>(views.described);
    }
    void apply(TextViews& views) const {
        const QString given = QString::fromUtf8(text);
        if (kind == Kind::text)
            views.label->setText(given);
        else if (kind == Kind::toolTip)
            cardview::setToolTip(of(views), given);
        else
            cardview::setAccessibilityLabel(of(views), given);
    }
};

const std::vector<TextChange>& textChanges() {
    using View = TextChange::View;
    using Kind = TextChange::Kind;
    static const std::vector<TextChange> changes = {
        {"a label's new text", View::label, Kind::text, "Second text", 1, 0},
        {"the same text again", View::label, Kind::text, "Second text", 0, 0},
        {"a new tool tip", View::tipped, Kind::toolTip, "First tip", 0, 1},
        {"the same tool tip again", View::tipped, Kind::toolTip, "First tip", 0, 0},
        {"another tool tip", View::tipped, Kind::toolTip, "Second tip", 0, 1},
        {"a tool tip of a button described on its own", View::described, Kind::toolTip, "A tip", 0, 0},
        {"a new spoken label", View::tipped, Kind::spokenLabel, "Renamed", 1, 0},
        {"the same spoken label again", View::tipped, Kind::spokenLabel, "Renamed", 0, 0},
    };
    return changes;
}

} // namespace

TEST(AnnouncementsOnTheBus, EachAnnouncementReachesAScreenReaderOnceAsANotificationNamedByItsText) {
    if (qEnvironmentVariable("QUILLMERE_ACCESSIBILITY_BUS_TEST") != u"1")
        GTEST_SKIP() << "needs the display and accessibility bus of run-accessibility-bus-test";
    BusListener listener;
    ASSERT_EQ(listener.next(20000), QStringLiteral("ready"));

    ShownCard shown(400);
    QWidget& window = shown.window;
    RailViewController& card = shown.card;
    // The bridge to the bus comes up on its own time.
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    EXPECT_EQ(listener.notifications(1000, 0), QStringList()) << "nothing was announced yet";

    card.show(sonnet());
    card.toggleExpanded();
    // One action at a time, as a person acts: the listener reads each name once it is told of it.
    const std::vector<std::pair<std::function<void()>, QString>> steps = {
        {[&] { card.toggleDetails(); }, QStringLiteral("Recommendation details expanded")},
        {[&] { card.toggleDetails(); }, QStringLiteral("Recommendation details collapsed")},
        {[&] { card.useRecommendation(); }, QStringLiteral("Applying model and reasoning…")},
        {[&] { card.showApplyResult(true, sonnet()); },
         QStringLiteral("Model and reasoning confirmed for the next send.")},
        {[&] { card.openAskQuillmere(); }, QStringLiteral("Ask Quillmere opened")},
    };
    for (const auto& [act, text] : steps) {
        SCOPED_TRACE(text.toStdString());
        act();
        EXPECT_EQ(listener.notifications(15000, 500), QStringList{text});
    }

    // Nothing that is not an announcement speaks, and a card shown again says nothing old.
    card.toggleExpanded();
    window.hide();
    QCoreApplication::processEvents();
    window.show();
    EXPECT_EQ(listener.notifications(1500, 0), QStringList());
}

// A label whose text changes tells a screen reader through the event its interface supports, a
// name change: the reader, listening for names, descriptions and values as Orca does, gets the new
// text, and the bridge has nothing to complain of (a value change of static text, which has no
// value, made it warn once for every change). A new tool tip reaches it as a new description.
TEST(AnnouncementsOnTheBus, ALabelsNewTextReachesAScreenReaderAsItsNameWithoutWarnings) {
    if (qEnvironmentVariable("QUILLMERE_ACCESSIBILITY_BUS_TEST") != u"1")
        GTEST_SKIP() << "needs the display and accessibility bus of run-accessibility-bus-test";
    MessageLog messages;
    BusListener listener({QStringLiteral("names")});
    ASSERT_EQ(listener.next(20000), QStringLiteral("ready"));

    ShownCard shown(200);
    QWidget& window = shown.window;
    RailViewController& card = shown.card;
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    ASSERT_TRUE(untilNamesAreHeard(listener, window)) << "the bridge sends no name changes";

    // Waits for a line of the listener that starts with `kind` and ends with `text`.
    const auto hears = [&listener](const QString& kind, const QString& text) {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 15000) {
            const std::optional<QString> line = listener.next(int(15000 - waited.elapsed()));
            if (line && line->startsWith(kind + u'\t') && line->endsWith(u'\t' + text))
                return true;
        }
        return false;
    };
    for (const Recommendation& shown : {sonnet(), alreadyEfficient()}) {
        card.show(shown);
        const QString title = card.miniRecommendationForTesting();
        EXPECT_TRUE(hears(QStringLiteral("name"), title)) << title.toStdString();
    }
    // The toggle's new tool tip describes it: a reader does not keep describing it as "More info".
    card.toggleExpanded();
    EXPECT_TRUE(hears(QStringLiteral("description"),
                      QStringLiteral("Close info and return to compact recommendation")));
    QStringList warnings;
    for (const QString& line : MessageLog::lines())
        if (line.contains(QStringLiteral("ValueChanged event and no ValueInterface")))
            warnings << line;
    EXPECT_EQ(warnings, QStringList());
}

// Each change of a card text is told once, and only what changed: a label's new text as its name, a
// new tool tip as the description of a control described by it, nothing for a text or tip set again
// or for the tip of a control that has a description of its own. Counted as the process tells its
// bridge, then as a screen reader on the bus hears it.
TEST(AnnouncementsOnTheBus, EachCardTextChangeIsToldOnceInProcess) {
    if (qEnvironmentVariable("QUILLMERE_ACCESSIBILITY_BUS_TEST") != u"1")
        GTEST_SKIP() << "needs the display and accessibility bus of run-accessibility-bus-test";
    TextViews views;
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    quillmere::testing::ToldEvents told;
    for (const TextChange& change : textChanges()) {
        SCOPED_TRACE(change.what);
        told.clear();
        change.apply(views);
        QWidget* view = change.of(views);
        EXPECT_EQ(told.count(view, QAccessible::NameChanged), change.names) << "name changes";
        EXPECT_EQ(told.count(view, QAccessible::DescriptionChanged), change.descriptions)
            << "description changes";
    }
}

TEST(AnnouncementsOnTheBus, EachCardTextChangeIsHeardOnceOnTheBus) {
    if (qEnvironmentVariable("QUILLMERE_ACCESSIBILITY_BUS_TEST") != u"1")
        GTEST_SKIP() << "needs the display and accessibility bus of run-accessibility-bus-test";
    BusListener listener({QStringLiteral("names")});
    ASSERT_EQ(listener.next(20000), QStringLiteral("ready"));
    TextViews views;
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    ASSERT_TRUE(untilNamesAreHeard(listener, views.window)) << "the bridge sends no name changes";
    // What the listener hears in the quiet after one change, as the kind of change and the new name
    // or description, window renames of the warm-up left out.
    const auto heard = [&listener] {
        QStringList lines;
        for (std::optional<QString> line = listener.next(1500); line; line = listener.next(1500))
            if (line->section(u'\t', 1, 1) != u"frame")
                lines << line->section(u'\t', 0, 0) + u'\t' + line->section(u'\t', 2);
        return lines;
    };
    heard();
    for (const TextChange& change : textChanges()) {
        SCOPED_TRACE(change.what);
        change.apply(views);
        QAccessibleInterface* view = QAccessible::queryAccessibleInterface(change.of(views));
        ASSERT_TRUE(view);
        QStringList expected;
        for (int i = 0; i < change.names; ++i)
            expected << QStringLiteral("name\t") + view->text(QAccessible::Name);
        for (int i = 0; i < change.descriptions; ++i)
            expected << QStringLiteral("description\t") + view->text(QAccessible::Description);
        EXPECT_EQ(heard(), expected);
    }
}

// A line that holds the keyboard while the work runs never changes while it still has it, nor does
// the control pressed: the outcome would be read once as the focused element's new name and again
// as announced. Switched from the keyboard (failed, then confirmed) and asked from the field and the
// button (answered, then failed).
TEST(AnnouncementsOnTheBus, NothingFocusedChangesItsNameWhenTheWorkOfAGreyedButtonEnds) {
    if (qEnvironmentVariable("QUILLMERE_ACCESSIBILITY_BUS_TEST") != u"1")
        GTEST_SKIP() << "needs the display and accessibility bus of run-accessibility-bus-test";
    ShownCard shown(720);
    RailViewController& card = shown.card;
    ASSERT_TRUE(waitUntil([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    QApplication::setActiveWindow(&shown.window);
    card.show(sonnet());
    card.toggleExpanded();
    card.layoutIfNeeded();
    quillmere::testing::ToldEvents told;
    for (const bool success : {false, true}) {
        card.useButton()->setFocus(Qt::OtherFocusReason);
        card.useButton()->click();
        ASSERT_EQ(shown.window.focusWidget(), card.feedback()) << "the feedback line holds no keyboard";
        card.showApplyResult(success, sonnet());
    }
    card.openAskQuillmere();
    card.layoutIfNeeded();
    for (QWidget* from : {static_cast<QWidget*>(card.askField()), static_cast<QWidget*>(card.askButton())}) {
        for (const bool answered : {true, false}) {
            card.askField()->setText(QStringLiteral("Plan a database migration"));
            from->setFocus(Qt::OtherFocusReason);
            card.submitAsk();
            ASSERT_EQ(shown.window.focusWidget(), card.askResult()) << "the answer line holds no keyboard";
            if (answered)
                card.showAskResult(sonnet());
            else
                card.showAskFailure(QStringLiteral("Quillmere couldn’t get a recommendation. Try again."));
            EXPECT_EQ(shown.window.focusWidget(), from);
        }
    }
    EXPECT_EQ(told.namesChangedWhileFocused(), QStringList());
}
