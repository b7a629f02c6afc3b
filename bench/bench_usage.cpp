// The monthly report's two costs and the usage recorder's share of a tick.
//
// - Building the request from a full ledger (512 windows) and validating the report that answers
//   it, at 1,024, 2,048 and 4,096 samples: both must grow linearly with the samples.
// - The recorder's observe() of an unchanged snapshot, which runs on every 0.25 s tick of every
//   widget, against the tracker's steady snapshot read of the demo host that comes before it on
//   the same tick: the recorder must stay under 5% of the read.

#include "bench/BenchmarkMain.h"
#include "desktop/observation/ClaudeWindowTracker.h"
#include "desktop/usage/MonthlyUsage.h"
#include "desktop/usage/MonthlyUsageLedger.h"
#include "desktop/usage/UsageRecorder.h"
#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"
#include "platform/time/Clock.h"
#include "tests/desktop/usage/MonthlyUsageTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <map>
#include <memory>

using namespace quillmere;
using namespace quillmere::MonthlyUsage;

namespace {

const QDateTime asOf(QDate(2026, 10, 31), QTime(0, 0), Qt::UTC);

// A ledger folder with 512 windows of October holding `samples` samples in all, and the answer the
// service gives for its October request.
struct FullLedger {
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/quillmere-bench-XXXXXX")};
    std::unique_ptr<MonthlyUsageLedger> ledger;
    QByteArray answer;

    explicit FullLedger(int samples) {
        json::Array windows;
        const int perWindow = samples / 512;
        const qint64 start = *date(QStringLiteral("2026-10-01T00:00:00Z"));
        for (int w = 0; w < 512; ++w) {
            Window window;
            window.id = QStringLiteral("window-%1").arg(w, 4, 10, QLatin1Char('0'));
            window.scopeId = QStringLiteral("scope-%1").arg(w % 16, 4, 10, QLatin1Char('0'));
            window.bucketId = QStringLiteral("bucket-%1").arg(w, 4, 10, QLatin1Char('0'));
            window.kind = Kind::weekly;
            window.startsAt = canonical(start + qint64(w) * 3600'000);
            window.resetsAt = canonical(start + qint64(w) * 3600'000 + 7 * 86400'000LL);
            for (int s = 0; s < perWindow; ++s)
                window.samples.push_back(Sample{QStringLiteral("sample-%1-%2").arg(w).arg(s),
                                                canonical(start + qint64(w) * 3600'000 + s * 60'000),
                                                10.0 + s, std::nullopt});
            windows.push_back(toJson(window));
        }
        QFile file(dir.filePath(QStringLiteral("monthly-v1.json")));
        file.open(QIODevice::WriteOnly);
        file.write(json::write(json::Object{{QStringLiteral("schemaVersion"), 1},
                                            {QStringLiteral("windows"), std::move(windows)},
                                            {QStringLiteral("defaults"), json::Object{}}}));
        file.close();
        ledger = std::make_unique<MonthlyUsageLedger>(dir.path());
        answer = quillmere::testing::answerWithoutEstimates(
            ledger->request(QStringLiteral("2026-10"), QStringLiteral("UTC"), asOf));
    }
};

FullLedger& fullLedger(int samples) {
    static std::map<int, std::unique_ptr<FullLedger>> ledgers;
    auto& slot = ledgers[samples];
    if (!slot)
        slot = std::make_unique<FullLedger>(samples);
    return *slot;
}

void BM_MonthlyRequestFromFullLedger(benchmark::State& state) {
    FullLedger& full = fullLedger(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            full.ledger->request(QStringLiteral("2026-10"), QStringLiteral("UTC"), asOf));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_MonthlyRequestFromFullLedger)
    ->Arg(1024)
    ->Arg(2048)
    ->Arg(4096)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

void BM_MonthlyReportValidation(benchmark::State& state) {
    FullLedger& full = fullLedger(int(state.range(0)));
    const Request request = full.ledger->request(QStringLiteral("2026-10"), QStringLiteral("UTC"), asOf);
    try {
        validatedReport(full.answer, request);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(validatedReport(full.answer, request));
    state.SetComplexityN(state.range(0));
    state.counters["bytes"] = double(full.answer.size());
}
BENCHMARK(BM_MonthlyReportValidation)
    ->Arg(1024)
    ->Arg(2048)
    ->Arg(4096)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// ---- The recorder against the read it follows on every tick ------------------------------------

struct Demo {
    VirtualScheduler scheduler;
    std::unique_ptr<sim::SimulatedDesktop> desktop;
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/quillmere-bench-XXXXXX")};
    ManualClock clock;
    std::unique_ptr<ClaudeWindowTracker> tracker;

    Demo() {
        desktop = sim::SimulatedDesktop::fromFile(
            QStringLiteral(QUILLMERE_SOURCE_DIR "/share/demo-desktop.json"), scheduler);
        desktop->install();
        ClaudeWindowTracker::Environment environment;
        environment.memoryFolder = dir.filePath(QStringLiteral("support"));
        environment.diagnosticsFolder = dir.path();
        environment.codexDirectory = dir.filePath(QStringLiteral("no-codex"));
        environment.clock = &clock;
        environment.primaryScreenHeight = [] { return 1000.0; };
        tracker = std::make_unique<ClaudeWindowTracker>(QStringLiteral("com.openai.chat"), environment);
    }
};

void BM_DemoHostSteadySnapshot(benchmark::State& state) {
    Demo demo;
    for (int i = 0; i < 3; ++i)
        demo.tracker->conversationSnapshot();
    if (!demo.tracker->conversationSnapshot()) {
        state.SkipWithError("the demo host did not read");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(demo.tracker->conversationSnapshot());
}
BENCHMARK(BM_DemoHostSteadySnapshot)->Unit(benchmark::kMicrosecond);

// The snapshot the widget hands the recorder for the demo host's conversation.
UsageSnapshot usageSnapshot() {
    UsageSnapshot s;
    s.provider = QStringLiteral("openai");
    s.surface = QStringLiteral("chat");
    s.thread = QStringLiteral("https://chatgpt.com/c/6751a0c2-4d1e-8000-b3a7-5c2e9f1d0a11");
    for (int i = 0; i < 4; ++i)
        s.turns.push_back(
            {i % 2 ? QStringLiteral("assistant") : QStringLiteral("user"),
             QStringLiteral("Message %1 of the conversation, with a sentence or two of text in it.").arg(i)});
    s.setting = ObservedSetting{QStringLiteral("gpt-5.6-sol"), QStringLiteral("high")};
    s.complete = true;
    return s;
}

// state.range(0): 1 when a shown recommendation is being followed, 0 when nothing is pending.
void BM_RecorderObserveUnchangedSnapshot(benchmark::State& state) {
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/quillmere-bench-XXXXXX")};
    Defaults defaults(QStringLiteral("bench-usage"), dir.filePath(QStringLiteral("config")));
    ManualClock clock;
    UsageRecorder recorder(defaults, dir.filePath(QStringLiteral("observations")), clock);
    const UsageSnapshot snapshot = usageSnapshot();
    recorder.observe(snapshot);
    if (state.range(0)) {
        Recommendation recommendation;
        recommendation.provider = AIProvider::openAI;
        recommendation.model = QStringLiteral("gpt-5.6-luna");
        recommendation.effort = QStringLiteral("low");
        recommendation.potentialPercent = 40;
        recorder.shown(recommendation, snapshot);
    }
    recorder.observe(snapshot);
    for (auto _ : state)
        recorder.observe(snapshot); // the clock stands still: no gap, nothing changed
    if (recorder.lastError())
        state.SkipWithError("the recorder failed to write");
}
BENCHMARK(BM_RecorderObserveUnchangedSnapshot)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    return runBenchmarksWith<QCoreApplication>(argc, argv);
}
