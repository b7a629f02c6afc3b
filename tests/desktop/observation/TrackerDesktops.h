#pragma once

// Simulated host desktops for the window tracker's end-to-end tests: conversation windows built
// from a list of turns, so each test states only what differs.

#include "desktop/observation/ClaudeWindowTracker.h"
#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"
#include "platform/time/Clock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <optional>
#include <vector>

namespace quillmere::testing {

struct Turn {
    QString role;
    QString text;
    std::optional<int> position; // the "Message N of M" the host announces
    int of = 0;
};

inline QJsonObject messageGroup(const Turn& turn, const QString& assistantHeading) {
    QJsonArray children;
    const bool user = turn.role == QLatin1String("user");
    children.append(QJsonObject{{"role", "AXHeading"}, {"title", user ? "You said:" : assistantHeading}});
    for (const QString& paragraph : turn.text.split(QLatin1Char('\n')))
        children.append(QJsonObject{{"role", "AXStaticText"}, {"value", paragraph}});
    if (!user)
        children.append(
            QJsonObject{{"role", "AXButton"}, {"description", "Copy"}, {"actions", QJsonArray{"AXPress"}}});
    QJsonObject group{{"role", "AXGroup"}, {"children", children}};
    if (turn.position)
        group.insert("description", QStringLiteral("Message %1 of %2").arg(*turn.position).arg(turn.of));
    if (user)
        group.insert("attributes", QJsonObject{{"AXDOMClassList", QJsonArray{"user-message-bubble"}}});
    return group;
}

struct HostWindow {
    qint32 pid = 501;
    QString bundleID = QStringLiteral("com.openai.chat");
    QString name = QStringLiteral("ChatGPT");
    QString title = QStringLiteral("Trip plans - ChatGPT");
    std::optional<QString> document;
    std::optional<QString> webURL; // the conversation inside a web area with this URL
    std::optional<QString> picker = QStringLiteral("GPT-5.6 Sol");
    std::optional<QString> effort = QStringLiteral("High");
    QString assistantHeading = QStringLiteral("ChatGPT said:");
    std::vector<Turn> turns;
    bool scrolledAway = false; // a "Scroll to bottom" button shows
    QJsonArray extraChildren;
};

inline QJsonObject app(const HostWindow& host) {
    QJsonArray controls;
    if (host.picker)
        controls.append(QJsonObject{{"id", "picker"},
                                    {"role", "AXPopUpButton"},
                                    {"title", *host.picker},
                                    {"actions", QJsonArray{"AXShowMenu", "AXPress"}}});
    if (host.effort)
        controls.append(QJsonObject{{"id", "effort"},
                                    {"role", "AXButton"},
                                    {"title", *host.effort},
                                    {"actions", QJsonArray{"AXPress"}}});
    QJsonArray messages;
    for (const Turn& turn : host.turns)
        messages.append(messageGroup(turn, host.assistantHeading));
    QJsonArray content = controls;
    content.append(QJsonObject{{"id", "conversation"}, {"role", "AXGroup"}, {"children", messages}});
    if (host.scrolledAway)
        content.append(QJsonObject{{"role", "AXButton"}, {"description", "Scroll to bottom"}});
    for (const auto& extra : host.extraChildren)
        content.append(extra);
    QJsonArray windowChildren;
    if (host.webURL)
        windowChildren.append(
            QJsonObject{{"id", "page"}, {"role", "AXWebArea"}, {"url", *host.webURL}, {"children", content}});
    else
        windowChildren = content;
    QJsonObject window{{"id", "window"},
                       {"role", "AXWindow"},
                       {"title", host.title},
                       {"frame", QJsonArray{80, 60, 1000, 700}},
                       {"children", windowChildren}};
    if (host.document)
        window.insert("document", *host.document);
    return QJsonObject{{"pid", host.pid},
                       {"bundleID", host.bundleID},
                       {"name", host.name},
                       {"active", true},
                       {"windows", QJsonArray{window}}};
}

inline QByteArray desktopJson(const std::vector<HostWindow>& hosts) {
    QJsonArray apps;
    for (const HostWindow& host : hosts)
        apps.append(app(host));
    return QJsonDocument(QJsonObject{{"apps", apps}}).toJson(QJsonDocument::Compact);
}

// Numbered turns `from` to `to` (1-based, inclusive) of a conversation of `total` messages that
// alternates user and assistant, starting with the user.
inline std::vector<Turn> numberedTurns(int from, int to, int total) {
    std::vector<Turn> turns;
    for (int n = from; n <= to; ++n) {
        const bool user = n % 2 == 1;
        turns.push_back({user ? "user" : "assistant",
                         user ? QStringLiteral("Question number %1 about the migration plan").arg(n)
                              : QStringLiteral("Answer number %1 with the steps for the migration").arg(n),
                         n, total});
    }
    return turns;
}

// A tracker whose files go to private folders, with a clock the test moves.
struct TrackerBench {
    QTemporaryDir dir;
    ManualClock clock;
    ClaudeWindowTracker::Environment environment(const QString& memoryFolder = {}) {
        ClaudeWindowTracker::Environment e;
        e.memoryFolder = memoryFolder.isEmpty() ? dir.filePath("support") : memoryFolder;
        e.diagnosticsFolder = dir.filePath("diagnostics");
        e.codexDirectory = dir.filePath("no-codex");
        e.clock = &clock;
        e.primaryScreenHeight = [] { return 1000.0; };
        QDir().mkpath(e.diagnosticsFolder);
        return e;
    }
};

} // namespace quillmere::testing
