// The card's announcements as a Linux screen reader receives them: on the accessibility bus, each
// one as a notification that starts showing, named by the announcement's text. Runs only on the
// display and private accessibility bus that run-accessibility-bus-test sets up; a listener
// process stands in for the screen reader.

#include "desktop/card/RailViewController.h"
#include "tests/desktop/card/CardTestSupport.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

using namespace quillmere;
using namespace quillmere::cardtest;

namespace {

// What the listener printed: one role and name per object that started showing.
class BusListener {
public:
    explicit BusListener(const QStringList& arguments = {}) {
        process_.setProgram(QStringLiteral(QUILLMERE_SOURCE_DIR "/tests/desktop/card/listen-announcements"));
        process_.setArguments(arguments);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
    }
    ~BusListener() {
        process_.kill();
        process_.waitForFinished(5000);
    }

    // Turns the event loop (the listener asks this process for names) until a line arrives.
    std::optional<QString> next(int milliseconds) {
        QElapsedTimer waited;
        waited.start();
        while (!process_.canReadLine()) {
            if (waited.elapsed() > milliseconds || process_.state() == QProcess::NotRunning)
                return std::nullopt;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            process_.waitForReadyRead(20);
        }
        return QString::fromUtf8(process_.readLine()).chopped(1);
    }

    // The names of the notifications that appear, other objects left out: until the first one
    // and `quiet` milliseconds more without another, or `milliseconds` in all.
    QStringList notifications(int milliseconds, int quiet) {
        QStringList seen;
        QElapsedTimer waited;
        waited.start();
        QElapsedTimer sinceLast;
        while (waited.elapsed() < milliseconds && (seen.isEmpty() || sinceLast.elapsed() < quiet)) {
            const int left = int(milliseconds - waited.elapsed());
            const auto line = next(seen.isEmpty() ? left : std::min(left, int(quiet - sinceLast.elapsed())));
            if (line && line->startsWith(QStringLiteral("notification\t"))) {
                seen << line->section(u'\t', 1);
                sinceLast.start();
            }
        }
        return seen;
    }

private:
    QProcess process_;
};

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

bool waitFor(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
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
    ASSERT_TRUE(waitFor([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
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
    ASSERT_TRUE(waitFor([] { return QAccessible::isActive(); }, 20000)) << "no accessibility bridge";
    // The bridge learns on its own time which events a reader listens for: until it hears one of
    // the window's own name changes, a label's could still go unsent.
    bool listening = false;
    for (int i = 0; i < 40 && !listening; ++i) {
        window.setAccessibleName(QStringLiteral("Quillmere %1").arg(i));
        for (std::optional<QString> line = listener.next(500); line && !listening; line = listener.next(50))
            listening = line->startsWith(QStringLiteral("name\t"));
    }
    ASSERT_TRUE(listening) << "the bridge sends no name changes";

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
