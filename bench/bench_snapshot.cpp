// The cost of one conversation read in steady state (the memory warm, nothing changed in the
// window), against a bare walk over the same window's children. A read must stay within three
// times the walk and grow linearly with the window.
//
// The window holds one message per 12.5 elements: 400 messages in 5,000 elements at full size.

#include "bench/BenchmarkMain.h"
#include "desktop/observation/ClaudeWindowTracker.h"
#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"
#include "platform/time/Clock.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <memory>

using namespace quillmere;

namespace {

constexpr qint32 pid = 4101;

// A ChatGPT window with `messages` numbered messages and `elements` elements in all.
struct Window {
    VirtualScheduler scheduler;
    std::unique_ptr<sim::SimulatedDesktop> desktop;
    ax::Element window;
    int count = 0;

    Window(int messages, int elements) {
        desktop = std::make_unique<sim::SimulatedDesktop>(scheduler);
        desktop->addApplication(pid, QStringLiteral("com.openai.chat"), QStringLiteral("ChatGPT"), true);
        const quint64 w = desktop->addWindow(
            pid, QStringLiteral("window"),
            {{"AXTitle", ax::Value("Weekend trip to Lisbon")},
             {"AXDocument", ax::Value("https://chatgpt.com/c/6751a0c2-4d1e-8000-b3a7-5c2e9f1d0a11")},
             {"AXSize", ax::Value(ax::Size{1200, 860})}});
        count = 1;
        const auto add = [&](quint64 parent, QMap<QString, ax::Value> attributes) {
            ++count;
            return desktop->addNode(parent, pid, QString(), std::move(attributes));
        };
        const quint64 toolbar = add(w, {{"AXRole", ax::Value("AXGroup")}});
        add(toolbar, {{"AXRole", ax::Value("AXPopUpButton")}, {"AXTitle", ax::Value("GPT-5.6 Sol")}});
        add(toolbar, {{"AXRole", ax::Value("AXButton")}, {"AXTitle", ax::Value("High")}});
        const quint64 list = add(w, {{"AXRole", ax::Value("AXGroup")}});
        for (int i = 1; i <= messages; ++i) {
            const bool user = i % 2 == 1;
            QMap<QString, ax::Value> group{
                {"AXRole", ax::Value("AXGroup")},
                {"AXDescription", ax::Value(QStringLiteral("Message %1 of %2").arg(i).arg(messages))}};
            if (user)
                group.insert("AXDOMClassList", ax::Value::strings({"group", "bg-user-message"}));
            const quint64 g = add(list, group);
            add(g, {{"AXRole", ax::Value("AXHeading")},
                    {"AXTitle", ax::Value(user ? "You said:" : "ChatGPT said:")}});
            const quint64 body = add(g, {{"AXRole", ax::Value("AXGroup")}});
            for (int k = 0; k < 7; ++k)
                add(body, {{"AXRole", ax::Value("AXStaticText")},
                           {"AXValue",
                            ax::Value(QStringLiteral("Paragraph %1 of message %2, with a few words to read.")
                                          .arg(k)
                                          .arg(i))}});
            if (!user) {
                add(g, {{"AXRole", ax::Value("AXButton")}, {"AXDescription", ax::Value("Copy")}});
                add(g, {{"AXRole", ax::Value("AXButton")}, {"AXDescription", ax::Value("Good response")}});
            }
        }
        // Decoration up to the element count.
        const quint64 footer = add(w, {{"AXRole", ax::Value("AXGroup")}});
        while (count < elements)
            add(footer, {{"AXRole", ax::Value("AXGroup")}});
        desktop->install();
        window = desktop->element(QStringLiteral("window"));
    }
};

struct Reader {
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/quillmere-bench-XXXXXX")};
    ManualClock clock;
    std::unique_ptr<ClaudeWindowTracker> tracker;

    Reader() {
        ClaudeWindowTracker::Environment environment;
        environment.memoryFolder = dir.filePath(QStringLiteral("support"));
        environment.diagnosticsFolder = dir.path();
        environment.codexDirectory = dir.filePath(QStringLiteral("no-codex"));
        environment.clock = &clock;
        environment.primaryScreenHeight = [] { return 1000.0; };
        tracker = std::make_unique<ClaudeWindowTracker>(QStringLiteral("com.openai.chat"), environment);
    }
};

Window& window(int elements) {
    static std::map<int, std::unique_ptr<Window>> windows;
    auto& slot = windows[elements];
    if (!slot)
        slot = std::make_unique<Window>(elements * 2 / 25, elements);
    slot->desktop->install();
    return *slot;
}

void BM_FlattenedElements(benchmark::State& state) {
    Window& w = window(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(ElementWalks::flattenedElements(w.window, 5000));
    state.counters["elements"] = w.count;
    w.desktop->resetCallCounts();
    ElementWalks::flattenedElements(w.window, 5000);
    state.counters["reads"] = double(w.desktop->callCounts().attributeReads);
}
BENCHMARK(BM_FlattenedElements)->Arg(1250)->Arg(2500)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_ConversationSnapshotSteadyState(benchmark::State& state) {
    Window& w = window(int(state.range(0)));
    Reader reader;
    // Warm: the conversation is accepted by memory and its evidence written.
    for (int i = 0; i < 3; ++i)
        reader.tracker->conversationSnapshot();
    const auto check = reader.tracker->conversationSnapshot();
    if (!check || int(check->messages.size()) != int(state.range(0)) * 2 / 25) {
        state.SkipWithError("the window did not read as expected");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(reader.tracker->conversationSnapshot());
    state.counters["messages"] = double(check->messages.size());
    w.desktop->resetCallCounts();
    reader.tracker->conversationSnapshot();
    state.counters["reads"] = double(w.desktop->callCounts().attributeReads);
}
BENCHMARK(BM_ConversationSnapshotSteadyState)->Arg(1250)->Arg(2500)->Arg(5000)->Unit(benchmark::kMicrosecond);
// The same, counting every thread of the process: the evidence files each read leaves are written
// on a thread of their own, and this shows what they cost besides the read.
BENCHMARK(BM_ConversationSnapshotSteadyState)
    ->Name("BM_ConversationSnapshotSteadyStateWithEvidence")
    ->Arg(5000)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    return runBenchmarksWith<QCoreApplication>(argc, argv);
}
