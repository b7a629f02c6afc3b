// The card's cost per analysis result and per request. The card refreshes on every analysis result
// and its request-log section grows for the whole run, so:
// - show() of a recommendation plus one layout pass, for a normal and an expanded card (the
//   expanded one with 10, 100 and 1,000 request-log entries held), which must stay well inside the
//   0.25 s tick (5% is 12.5 ms);
// - adding one request-log entry to a section holding 10, 100 and 1,000 entries, whose cost must
//   grow no faster than linearly in the entries held;
// - show() of a recommendation whose reason holds 1 k, 100 k and 2 M characters (prose, and one
//   unbroken word, the line breaker's worst case), its preferred height and the layout pass, which
//   must cost the same whatever the length: the 2 M case under 50 ms.

#include "bench/BenchmarkMain.h"
#include "desktop/card/RailViewController.h"

#include <QApplication>
#include <QTimeZone>
#include <QUuid>
#include <algorithm>
#include <benchmark/benchmark.h>

namespace quillmere {
namespace {

Recommendation recommendation(const QString& effort) {
    Recommendation r;
    r.provider = AIProvider::claude;
    r.model = QStringLiteral("sonnet");
    r.modelID = QStringLiteral("claude-sonnet-5");
    r.effort = effort;
    r.reason = QStringLiteral(
        "Routine drafting with a clear brief. → The conversation asks for edits to an existing "
        "text, which a mid-size model handles well.");
    r.modelFitReason = QStringLiteral("Clear instructions and a short context suit Sonnet.");
    r.conversationCategory = ConversationTaxonomy{QStringLiteral("writing"), QStringLiteral("Writing")};
    r.contextUsage = RecommendationContextUsage{40, 20, 20, true, 120};
    r.savingsBasis = QStringLiteral("claude-list-uncached-estimated-output-v1");
    r.potentialPercent = 63;
    r.savingsBaselineSetting = QStringLiteral("Opus 5 · High");
    return r;
}

RequestLogStore::Entry entry(int number) {
    RequestLogStore::Entry e;
    e.id = QUuid::createUuid();
    e.number = number;
    e.startedAt = QDateTime::fromSecsSinceEpoch(1'800'000'000 + number, Qt::UTC);
    e.conversation = QStringLiteral("conversation");
    e.provider = QStringLiteral("claude");
    e.endpoint = QStringLiteral("https://classify.example/v1/classify");
    e.requestBody =
        QStringLiteral("USER\n") + QString(QStringLiteral("A sentence of the conversation. ")).repeated(60);
    e.responseBody =
        QStringLiteral("{\"model\":\"sonnet\",\"effort\":\"medium\",\"reason\":\"Routine drafting.\"}");
    e.status = QStringLiteral("COMPLETED");
    return e;
}

std::vector<RequestLogStore::Entry> entries(int count) {
    std::vector<RequestLogStore::Entry> list;
    list.reserve(size_t(count));
    for (int i = 1; i <= count; ++i)
        list.push_back(entry(i));
    return list;
}

// show() of a new recommendation and the layout pass it asks for; alternates two efforts so every
// iteration is a real change.
void showAndLayout(benchmark::State& state, bool expandedCard) {
    RailViewController card;
    card.toggleExpanded();
    if (expandedCard)
        card.showDiagnostics();
    const int width = expandedCard ? 640 : 310;
    card.setRequestLogs(entries(int(state.range(0))));
    card.view()->resize(width, int(card.preferredHeight(width)));
    card.layoutIfNeeded();
    const Recommendation a = recommendation(QStringLiteral("medium"));
    const Recommendation b = recommendation(QStringLiteral("high"));
    bool flip = false;
    for (auto _ : state) {
        card.show(flip ? a : b);
        flip = !flip;
        card.layoutIfNeeded();
    }
}

void BM_NormalCardShowAndLayout(benchmark::State& state) {
    showAndLayout(state, false);
}
void BM_ExpandedCardShowAndLayout(benchmark::State& state) {
    showAndLayout(state, true);
}

// A reason of N characters from a service on a normal card: show(), the preferred height the card
// panel asks for and the layout pass it triggers. Two efforts alternate so every iteration is new.
void longReason(benchmark::State& state, bool unbroken) {
    const qsizetype length = qsizetype(state.range(0));
    const QString text =
        unbroken ? QString(length, QLatin1Char('x'))
                 : QStringLiteral("A sentence of the reason. ").repeated(length / 26 + 1).left(length);
    Recommendation a = recommendation(QStringLiteral("medium"));
    a.reason = text;
    a.modelFitReason.reset();
    Recommendation b = a;
    b.effort = QStringLiteral("high");
    RailViewController card;
    card.toggleExpanded();
    card.view()->resize(310, 400);
    card.layoutIfNeeded();
    bool flip = false;
    for (auto _ : state) {
        card.show(flip ? a : b);
        flip = !flip;
        const double height = card.preferredHeight(310);
        card.view()->resize(310, int(std::min(height, 4000.0)));
        card.layoutIfNeeded();
    }
}
void BM_LongReasonProse(benchmark::State& state) {
    longReason(state, false);
}
void BM_LongReasonOneWord(benchmark::State& state) {
    longReason(state, true);
}

// One new request arriving while the section holds N: the newest opens, the others close, the
// expanded card lays its rows out again.
void BM_AddRequestLogEntry(benchmark::State& state) {
    const int held = int(state.range(0));
    RailViewController card;
    card.toggleExpanded();
    card.showDiagnostics();
    card.view()->resize(640, 720);
    std::vector<RequestLogStore::Entry> list = entries(held);
    card.setRequestLogs(list);
    card.layoutIfNeeded();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<RequestLogStore::Entry> grown = list;
        grown.push_back(entry(held + 1));
        state.ResumeTiming();
        card.setRequestLogs(grown);
        card.layoutIfNeeded();
        state.PauseTiming();
        card.setRequestLogs(list); // back to N held for the next iteration
        card.layoutIfNeeded();
        state.ResumeTiming();
    }
    state.SetComplexityN(held);
}

BENCHMARK(BM_NormalCardShowAndLayout)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExpandedCardShowAndLayout)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LongReasonProse)->Arg(1'000)->Arg(100'000)->Arg(2'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongReasonOneWord)->Arg(1'000)->Arg(100'000)->Arg(2'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddRequestLogEntry)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity();

} // namespace
} // namespace quillmere

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return runBenchmarksWith<QApplication>(argc, argv);
}
