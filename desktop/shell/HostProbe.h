#pragma once

// The "--probe-host" mode: whether one running host shows a conversation the application can read
// verified and current. It reads up to 20 times, one second apart, and says so in one line that
// begins "PROBE ".

#include "desktop/observation/ClaudeWindowTracker.h"
#include "platform/tasks/Scheduler.h"

#include <QCoroTask>
#include <QString>

namespace quillmere::HostProbe {

struct Outcome {
    int status = 1; // 0 verified, 1 not verified after the last try
    QString line;   // without the line feed
};

// Whether a snapshot is what the probe looks for.
bool passes(const ClaudeWindowTracker::ConversationSnapshot& snapshot);
// The line printed for a passing snapshot.
QString verifiedLine(const ClaudeWindowTracker::ConversationSnapshot& snapshot);

// Polls `tracker` and returns the outcome; never throws. Sleeps on `scheduler`.
QCoro::Task<Outcome> run(ClaudeWindowTracker& tracker, Scheduler& scheduler = Scheduler::current());

// The mode as the entry point runs it, for the already lowercased `bundleID`: the early failures
// ("PROBE unsupported_host", "PROBE accessibility_unavailable", status 2) are printed and
// returned at once; otherwise the probe runs on the event loop and ends the process itself.
int start(const QString& bundleID);

} // namespace quillmere::HostProbe
