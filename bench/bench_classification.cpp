// The cadence runs on every widget tick (about four times a second per host) and the context
// window on every request; both must stay far below a millisecond for ordinary conversations and
// bounded for huge ones.

#include "desktop/classification/RecommendationCadence.h"
#include "desktop/classification/RecommendationContext.h"
#include "desktop/classification/RequestLogStore.h"

#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

RecommendationCadence::Input input(const QString& text, int turn) {
    RecommendationCadence::Input value;
    value.context = "claude|conversation";
    value.setting = "sonnet|claude-sonnet-5-5|medium|false|known:true|surface:unknown";
    value.text = text;
    value.turn = turn;
    value.availability = "claude-setting:claude-sonnet-5-5|low|false,model-id:claude-sonnet-5-5";
    return value;
}

// One tick with an unchanged input: observe, refresh test and a refused request.
void unchangedTick(benchmark::State& state) {
    RecommendationCadence cadence;
    const auto current = input("Please implement and test the dashboard from this brief", 3);
    cadence.observe(current, 0);
    cadence.complete(*cadence.takeRequest(5));
    double now = 6;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cadence.observe(current, now));
        benchmark::DoNotOptimize(cadence.needsRecommendationRefresh(current));
        benchmark::DoNotOptimize(cadence.takeRequest(now));
        now += 0.25;
    }
}
BENCHMARK(unchangedTick);

// The word-level comparison on long texts, the most expensive step of a tick.
void materialChangeLongTexts(benchmark::State& state) {
    const QString old =
        QString("Plan the quarterly marketing budget for Europe and Asia ").repeated(state.range(0));
    const QString next =
        QString("Create a poster about autumn leaves and rain in the city ").repeated(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(RecommendationCadence::materialChange(old, next));
}
BENCHMARK(materialChangeLongTexts)->Arg(1)->Arg(100)->Arg(1000);

// Choosing the window of a long conversation.
void contextWindow(benchmark::State& state) {
    ClaudeWindowTrackerConversationSnapshot snapshot;
    std::vector<ClaudeWindowTrackerConversationMessage> messages;
    for (int i = 0; i < state.range(0); ++i)
        messages.push_back({i % 2 ? "assistant" : "user", QString("Message %1 ").arg(i) + QString(400, 'x')});
    snapshot.messages = std::move(messages);
    for (auto _ : state)
        benchmark::DoNotOptimize(RecommendationContext::window(snapshot));
}
BENCHMARK(contextWindow)->Arg(10)->Arg(300)->Arg(3000);

} // namespace

// One request-log header: the card renders one per row on every change of the log.
void requestLogHeader(benchmark::State& state) {
    RequestLogStore::Entry entry;
    entry.number = 42;
    entry.startedAt = QDateTime(QDate(2026, 3, 1), QTime(9, 30, 5), Qt::UTC);
    entry.status = QStringLiteral("COMPLETED \u00B7 RECOMMENDATION");
    for (auto _ : state)
        benchmark::DoNotOptimize(RequestLogStore::header(entry));
}
BENCHMARK(requestLogHeader);

BENCHMARK_MAIN();
