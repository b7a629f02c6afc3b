// The cost of one debug-monitor update, as every host widget makes on every 0.25 s tick (five
// hosts: twenty a second), with the application's coalesced file writes:
// - an unchanged tick of the host in front (a scan record each time) and of a host in the
//   background, whose conversation holds 10, 1,000 and 50,000 messages. Beyond what comparing the
//   snapshot with the previous one costs, an unchanged update must not grow with the conversation;
// - a tick whose phase changed, which rewrites the file at once.
// Twenty updates a second must stay far below 1 % of a core: under 50 µs each.

#include "bench/BenchmarkMain.h"
#include "desktop/classification/RecommendationCadence.h"
#include "desktop/diagnostics/DebugMonitor.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace quillmere {
namespace {

ClaudeWindowTrackerConversationSnapshot conversation(int messages) {
    ClaudeWindowTrackerConversationSnapshot snapshot;
    snapshot.provider = AIProvider::openAI;
    for (int i = 0; i < messages; ++i)
        snapshot.messages.push_back({i % 2 == 0 ? QStringLiteral("user") : QStringLiteral("assistant"),
                                     QStringLiteral("Message %1 about the weekend trip to Lisbon.").arg(i)});
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
