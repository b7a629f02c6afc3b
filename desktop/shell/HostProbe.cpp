#include "desktop/shell/HostProbe.h"

#include "core/HostConstants.h"
#include "platform/accessibility/Backend.h"
#include "platform/tasks/Task.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace quillmere::HostProbe {

namespace {

const QString claudeCodeSessionPrefix = QStringLiteral("claude-code|session:");

QString claudeWebConversationPrefix() {
    return QStringLiteral("https://") + QString::fromLatin1(HostConstants::claudeWebHost) +
           QStringLiteral("/chat/");
}

QString flag(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

void printLine(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

} // namespace

bool passes(const ClaudeWindowTracker::ConversationSnapshot& snapshot) {
    if (!snapshot.conversationIdentityVerified || !snapshot.historyCurrent)
        return false;
    if (snapshot.provider == AIProvider::openAI)
        return true;
    return snapshot.conversationID.startsWith(claudeCodeSessionPrefix) ||
           snapshot.conversationID.startsWith(claudeWebConversationPrefix());
}

QString verifiedLine(const ClaudeWindowTracker::ConversationSnapshot& snapshot) {
    int users = 0, assistants = 0;
    for (const auto& message : snapshot.messages) {
        if (message.role == QLatin1String("user"))
            ++users;
        else if (message.role == QLatin1String("assistant"))
            ++assistants;
    }
    return QStringLiteral("PROBE verified=true current=true messages=%1 users=%2 assistants=%3 scope=%4 "
                          "position=%5 detail=")
               .arg(snapshot.messages.size())
               .arg(users)
               .arg(assistants)
               .arg(rawValue(snapshot.provider))
               .arg(snapshot.historyPosition.value_or(0)) +
           snapshot.extractionSummary;
}

QCoro::Task<Outcome> run(ClaudeWindowTracker& tracker, Scheduler& scheduler) {
    bool lastVerified = false, lastCurrent = false, lastArchive = false;
    qsizetype lastCount = 0;
    for (int attempt = 1; attempt <= 20; ++attempt) {
        const auto snapshot = tracker.conversationSnapshot();
        if (snapshot) {
            if (passes(*snapshot))
                co_return Outcome{0, verifiedLine(*snapshot)};
            lastVerified = snapshot->conversationIdentityVerified;
            lastCurrent = snapshot->historyCurrent;
            lastArchive = snapshot->conversationID.startsWith(claudeCodeSessionPrefix);
            lastCount = qsizetype(snapshot->messages.size());
        }
        // A cancelled sleep changes nothing: the probe goes on to its next try.
        co_await sleep(1.0, CancelToken(), scheduler);
    }
    co_return Outcome{1, QStringLiteral("PROBE conversation_unverified verified=%1 current=%2 archive=%3 "
                                        "messages=%4 detail=")
                                 .arg(flag(lastVerified), flag(lastCurrent), flag(lastArchive))
                                 .arg(lastCount) +
                             tracker.lastReadSummary()};
}

int start(const QString& bundleID) {
    if (ClaudeWindowTracker::supportedBundleIDs.empty() ||
        ClaudeWindowTracker::supportedBundleIDs.find(bundleID) ==
            ClaudeWindowTracker::supportedBundleIDs.end()) {
        printLine(QStringLiteral("PROBE unsupported_host"));
        return 2;
    }
    auto tracker = std::make_shared<ClaudeWindowTracker>(bundleID);
    if (!ax::isProcessTrusted()) {
        printLine(QStringLiteral("PROBE accessibility_unavailable"));
        return 2;
    }
    spawn(QStringLiteral("host probe"), [tracker]() -> QCoro::Task<void> {
        const Outcome outcome = co_await run(*tracker);
        printLine(outcome.line);
        std::exit(outcome.status);
    });
    return -1;
}

} // namespace quillmere::HostProbe
