#pragma once

// What the display and accessibility-bus tests share: a stand-in for a screen reader listening on
// the bus (tests/desktop/card/listen-announcements) and real key presses and window queries on the
// display (xdotool). They run only under tests/desktop/card/run-accessibility-bus-test.

#include <QAccessible>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere::testing {

// Turns the event loop until `done` or `milliseconds` have passed; whether it is done.
inline bool waitUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// Turns the event loop for `milliseconds`.
inline void turnFor(int milliseconds) {
    waitUntil([] { return false; }, milliseconds);
}

// The listener's lines, read as they come.
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

    // Every line until `quiet` milliseconds pass without one, or `milliseconds` in all.
    QStringList until(int milliseconds, int quiet) {
        QStringList lines;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < milliseconds) {
            const auto line = next(std::min(quiet, int(milliseconds - waited.elapsed())));
            if (!line)
                break;
            lines << *line;
        }
        return lines;
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

// The bridge tells of notifications once it has learnt that a listener asks for them: `announce`
// is called until one is heard, and what else is heard meanwhile is dropped.
inline bool untilNotificationsAreHeard(BusListener& listener,
                                       const std::function<void(const QString&)>& announce) {
    for (int i = 0; i < 20; ++i) {
        announce(QStringLiteral("Listening %1").arg(i));
        if (!listener.notifications(1000, 300).isEmpty()) {
            listener.notifications(1000, 500);
            return true;
        }
    }
    return false;
}

// What the process tells its accessibility bridge, recorded in-process while it lives: each event's
// kind and object, and whether the object had its window's keyboard focus then. Nothing reaches the
// bus meanwhile.
class ToldEvents {
public:
    struct Told {
        const QObject* object = nullptr;
        QAccessible::Event type = QAccessible::NameChanged;
        bool focused = false;
        QString name; // the object's name then
    };
    ToldEvents() {
        current() = this;
        previous_ = QAccessible::installUpdateHandler(&ToldEvents::handle);
    }
    ~ToldEvents() {
        QAccessible::installUpdateHandler(previous_);
        current() = nullptr;
    }
    ToldEvents(const ToldEvents&) = delete;
    ToldEvents& operator=(const ToldEvents&) = delete;

    void clear() { told_.clear(); }
    int count(const QObject* object, QAccessible::Event type) const {
        return int(std::count_if(told_.begin(), told_.end(), [&](const Told& told) {
            return told.object == object && told.type == type;
        }));
    }
    // The new names of objects renamed while they had the keyboard: a screen reader reads such a
    // change as the focused element's, besides any announcement of it.
    QStringList namesChangedWhileFocused() const {
        QStringList names;
        for (const Told& told : told_)
            if (told.type == QAccessible::NameChanged && told.focused)
                names << told.name;
        return names;
    }

    // The names objects had as they took the keyboard, in order: what a screen reader reads then.
    QStringList namesOnTakingTheKeyboard() const {
        QStringList names;
        for (const Told& told : told_)
            if (told.type == QAccessible::Focus)
                names << told.name;
        return names;
    }

private:
    static ToldEvents*& current() {
        static ToldEvents* recording = nullptr;
        return recording;
    }
    static void handle(QAccessibleEvent* event) {
        if (!current())
            return;
        Told told{event->object(), event->type()};
        // Only a renamed object or one taking the keyboard is asked about: another event may be
        // about one on its way out.
        const bool asked = event->type() == QAccessible::NameChanged || event->type() == QAccessible::Focus;
        auto* widget = asked ? qobject_cast<QWidget*>(event->object()) : nullptr;
        if (widget) {
            told.focused = widget->window()->focusWidget() == widget;
            if (QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget))
                told.name = iface->text(QAccessible::Name);
        }
        current()->told_.push_back(told);
    }
    QAccessible::UpdateHandler previous_ = nullptr;
    std::vector<Told> told_;
};

// xdotool on the test's display: its output, trimmed; empty when it failed.
inline QString xdotool(const QStringList& arguments) {
    QProcess tool;
    tool.setProcessChannelMode(QProcess::SeparateChannels);
    tool.start(QStringLiteral("xdotool"), arguments);
    // The event loop turns while it runs: a window of this process must answer the window system.
    waitUntil([&tool] { return tool.state() == QProcess::NotRunning; }, 10000);
    if (tool.state() != QProcess::NotRunning) {
        tool.kill();
        tool.waitForFinished(1000);
        return QString();
    }
    return tool.exitCode() == 0 ? QString::fromUtf8(tool.readAllStandardOutput()).trimmed() : QString();
}

// Presses and releases keys (xdotool's names: "space", "Return", "Escape", "Tab") on the display,
// as a person does: they go to whichever window has the focus.
inline void pressKey(const QString& key) {
    xdotool({QStringLiteral("key"), key});
}

// The window that has the display's keyboard focus, as a number; 0 when none can be read.
inline qulonglong focusedWindow() {
    return xdotool({QStringLiteral("getwindowfocus")}).toULongLong();
}

inline bool windowSystemTest() {
    return qEnvironmentVariable("QUILLMERE_WINDOW_SYSTEM_TEST") == u"1";
}

} // namespace quillmere::testing
