// The card's cost per analysis result and per request. The card refreshes on every analysis result
// and its request-log section grows for the whole run, so:
// - show() of a recommendation plus one layout pass, for a normal and an expanded card (the
//   expanded one with 10, 100 and 1,000 request-log entries held), which must stay well inside the
//   0.25 s tick (5% is 12.5 ms);
// - adding one request-log entry to a section holding 10, 100 and 1,000 entries, whose cost must
//   grow no faster than linearly in the entries held;
// - show() of a recommendation whose reason holds 1 k, 100 k and 2 M characters (prose, and one
//   unbroken word, the line breaker's worst case), its preferred height and the layout pass, which
//   must cost the same whatever the length: the 2 M case under 50 ms;
// - a 1.8 MB answer in the request log of an expanded card whose log is open: its arrival (the
//   newest row opens by itself), the status change after it and a 20-point resize, each laid out
//   and painted. Latin text, and Latin and Hebrew alternating word by word and letter by letter:
//   text that changes direction must cost a bounded multiple of Latin text, not seconds.

#include "bench/BenchmarkMain.h"
#include "desktop/card/RailViewController.h"

#include <QApplication>
#include <QImage>
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

// The text of a long answer: 0 Latin words, 1 Latin and Hebrew words alternating, 2 a Latin and a
// Hebrew letter alternating (a blank every 16 letters).
QString longAnswer(int kind, qsizetype length) {
    const QString hebrew = QString::fromUtf8("\u05E9\u05DC\u05D5\u05DD");
    QString unit;
    switch (kind) {
    case 0:
        unit = QStringLiteral("word text ");
        break;
    case 1:
        unit = QStringLiteral("word ") + hebrew + QLatin1Char(' ');
        break;
    default:
        for (int i = 0; i < 8; ++i)
            unit += QLatin1Char('a') + QString(QChar(0x05D0 + i));
        unit += QLatin1Char(' ');
        break;
    }
    return unit.repeated(length / unit.size() + 1).left(length);
}

enum class LogPhase { arrival, statusChange, resize };

// The card as a person sees it: laid out and painted.
void layOutAndPaint(RailViewController& card, QImage& canvas) {
    card.layoutIfNeeded();
    card.view()->render(&canvas);
}

void longAnswerInTheLog(benchmark::State& state, LogPhase phase) {
    const int kind = int(state.range(0));
    RequestLogStore::Entry sending = entry(1);
    sending.status = QStringLiteral("SENDING");
    sending.responseBody.reset();
    RequestLogStore::Entry received = sending;
    received.status = QStringLiteral("RESPONSE RECEIVED");
    received.httpStatus = 200;
    received.responseBody = longAnswer(kind, 1'800'000);
    RequestLogStore::Entry completed = received;
    completed.status = QStringLiteral("COMPLETED \u00B7 NO RECOMMENDATION");
    completed.finishedAt = completed.startedAt.addSecs(2);

    RailViewController card;
    card.toggleExpanded();
    card.showDiagnostics();
    card.view()->resize(640, 720);
    QImage canvas(640, 720, QImage::Format_ARGB32_Premultiplied);
    card.setRequestLogs({sending});
    layOutAndPaint(card, canvas);
    if (phase == LogPhase::resize) {
        card.setRequestLogs({completed});
        layOutAndPaint(card, canvas);
    }
    bool flip = false;
    for (auto _ : state) {
        switch (phase) {
        case LogPhase::arrival:
            card.setRequestLogs({received});
            layOutAndPaint(card, canvas);
            state.PauseTiming();
            card.setRequestLogs({sending});
            layOutAndPaint(card, canvas);
            state.ResumeTiming();
            break;
        case LogPhase::statusChange:
            state.PauseTiming();
            card.setRequestLogs({received});
            layOutAndPaint(card, canvas);
            state.ResumeTiming();
            card.setRequestLogs({completed});
            layOutAndPaint(card, canvas);
            break;
        case LogPhase::resize:
            card.view()->resize(flip ? 640 : 620, 720);
            flip = !flip;
            layOutAndPaint(card, canvas);
            break;
        }
    }
}
void BM_LongAnswerArrives(benchmark::State& state) {
    longAnswerInTheLog(state, LogPhase::arrival);
}
void BM_LongAnswerStatusChange(benchmark::State& state) {
    longAnswerInTheLog(state, LogPhase::statusChange);
}
void BM_LongAnswerResize(benchmark::State& state) {
    longAnswerInTheLog(state, LogPhase::resize);
}

BENCHMARK(BM_NormalCardShowAndLayout)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExpandedCardShowAndLayout)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LongReasonProse)->Arg(1'000)->Arg(100'000)->Arg(2'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongReasonOneWord)->Arg(1'000)->Arg(100'000)->Arg(2'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddRequestLogEntry)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity();
// Argument: the kind of text (0 Latin, 1 alternating words, 2 alternating letters).
BENCHMARK(BM_LongAnswerArrives)->DenseRange(0, 2)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongAnswerStatusChange)->DenseRange(0, 2)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongAnswerResize)->DenseRange(0, 2)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace quillmere

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return runBenchmarksWith<QApplication>(argc, argv);
}
