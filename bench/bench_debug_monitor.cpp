// The cost of one debug-monitor update, as every host widget makes on every 0.25 s tick (five
// hosts: twenty a second), with the application's coalesced file writes:
// - an unchanged tick of the host in front (a scan record each time, the file rewritten every
//   three seconds) and of a host in the background, whose conversation holds 10, 1,000 and 50,000
//   messages. Comparing the snapshot with the previous one is all an unchanged update may spend
//   on the conversation: with messages that compare by identity it does not grow at all;
// - a tick whose phase changed, which rewrites the file at once.
// A short conversation's unchanged update must stay under 100 µs (twenty a second: 0.2 % of a core).

#include "bench/BenchmarkMain.h"
#include "desktop/classification/RecommendationCadence.h"
#include "desktop/diagnostics/DebugMonitor.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <vector>

namespace quillmere {
namespace {

ClaudeWindowTrackerConversationSnapshot conversation(int messages) {
    ClaudeWindowTrackerConversationSnapshot snapshot;
    snapshot.provider = AIProvider::openAI;
    std::vector<ClaudeWindowTrackerConversationMessage> list;
    for (int i = 0; i < messages; ++i)
        list.push_back({i % 2 == 0 ? QStringLiteral("user") : QStringLiteral("assistant"),
                        QStringLiteral("Message %1 about the weekend trip to Lisbon.").arg(i)});
    snapshot.messages = list;
    snapshot.currentModel = QStringLiteral("gpt-5.6-sol");
    snapshot.currentEffort = QStringLiteral("high");
    snapshot.currentSettingKnown = true;
    snapshot.conversationID = QStringLiteral("com.openai.chat|navigation:6751a0c2");
    snapshot.conversationIdentityVerified = true;
    snapshot.historyPosition = messages;
    snapshot.historyCurrent = true;
    snapshot.extractionSummary = QStringLiteral(
        "rememberedMessages=4; memoryWindows=1; positionedMessages=4; transcriptUsers=2; "
        "transcriptAssistants=2; renderedUserBubbles=2; renderedMessageCandidates=4; "
        "sentMessageCopyAnchors=2; axScanTruncated=false; modelPickerFound=true; selectedModelParsed=true; "
        "selectedEffortParsed=true; historyCurrent=true; sentContextReadable=true");
    return snapshot;
}

void unchangedTick(benchmark::State& state, bool active) {
    QTemporaryDir folder;
    ManualClock clock;
    DebugMonitor monitor(folder.path(), clock, DebugMonitor::FileWrites::coalesced);
    const std::optional<ClaudeWindowTrackerConversationSnapshot> snapshot = conversation(int(state.range(0)));
    RecommendationCadence cadence;
    cadence.observe(snapshot->cadenceInput(), 1000);
    const QString phase = active ? QStringLiteral("Waiting / skipped \u2014 already_checked")
                                 : QStringLiteral("Paused \u2014 host inactive");
    double uptime = 1000;
    for (auto _ : state) {
        uptime += 0.25;
        monitor.update(QStringLiteral("com.openai.chat"), snapshot, cadence, phase, active,
                       snapshot->extractionSummary, std::nullopt, false, true, clock.now(), uptime, active);
    }
}

void BM_UnchangedTickInFront(benchmark::State& state) {
    unchangedTick(state, true);
}
BENCHMARK(BM_UnchangedTickInFront)->Arg(10)->Arg(1000)->Arg(50000)->Unit(benchmark::kMicrosecond);

void BM_UnchangedTickInTheBackground(benchmark::State& state) {
    unchangedTick(state, false);
}
BENCHMARK(BM_UnchangedTickInTheBackground)->Arg(10)->Arg(1000)->Arg(50000)->Unit(benchmark::kMicrosecond);

void BM_TickWithAChangedPhase(benchmark::State& state) {
    QTemporaryDir folder;
    ManualClock clock;
    DebugMonitor monitor(folder.path(), clock, DebugMonitor::FileWrites::coalesced);
    const std::optional<ClaudeWindowTrackerConversationSnapshot> snapshot = conversation(10);
    RecommendationCadence cadence;
    double uptime = 1000;
    bool odd = false;
    for (auto _ : state) {
        uptime += 0.25;
        odd = !odd;
        monitor.update(QStringLiteral("com.openai.chat"), snapshot, cadence,
                       odd ? QStringLiteral("Request in progress") : QStringLiteral("Waiting"), true,
                       snapshot->extractionSummary, std::nullopt, false, true, clock.now(), uptime, true);
    }
}
BENCHMARK(BM_TickWithAChangedPhase)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace quillmere

int main(int argc, char** argv) {
    return runBenchmarksWith<QApplication>(argc, argv);
}
