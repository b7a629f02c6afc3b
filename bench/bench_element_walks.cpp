// The capped walks over a large host window: the interactive walk and the option surface must
// grow linearly with the number of elements (twice the elements at most 2.2 times the cost).

#include "desktop/observation/ElementWalks.h"
#include "platform/accessibility/Backend.h"
#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"

#include <benchmark/benchmark.h>
#include <memory>

using namespace quillmere;

namespace {

// A window of `elements` elements: groups of 40 buttons under one window, the focus on the last
// button, as a conversation with many controls looks.
std::unique_ptr<sim::SimulatedDesktop> desktopWith(int elements, VirtualScheduler& scheduler) {
    auto desktop = std::make_unique<sim::SimulatedDesktop>(scheduler);
    desktop->addApplication(501, QStringLiteral("com.openai.chat"), QStringLiteral("ChatGPT"), true);
    const quint64 window = desktop->addWindow(501, QStringLiteral("window"), {});
    // Shared texts, as a host's accessibility server hands out the same role strings.
    const QString role = QStringLiteral("AXRole");
    const QString title = QStringLiteral("AXTitle");
    const ax::Value groupRole(QStringLiteral("AXGroup"));
    const ax::Value buttonRole(QStringLiteral("AXButton"));
    const ax::Value buttonTitle(QStringLiteral("Button"));
    int made = 1;
    quint64 group = 0;
    while (made < elements) {
        if ((made - 1) % 41 == 0) {
            group = desktop->addNode(window, 501, QString(), {{role, groupRole}});
        } else {
            desktop->addNode(group, 501, made + 1 == elements ? QStringLiteral("last") : QString(),
                             {{role, buttonRole}, {title, buttonTitle}});
        }
        ++made;
    }
    desktop->install();
    ax::setAttributeValue(desktop->element(QStringLiteral("last")), QStringLiteral("AXFocused"), true);
    desktop->resetCallCounts();
    return desktop;
}

void BM_FlattenedInteractiveElements(benchmark::State& state) {
    VirtualScheduler scheduler;
    const int elements = int(state.range(0));
    auto desktop = desktopWith(elements, scheduler);
    const ax::Element window = desktop->element(QStringLiteral("window"));
    for (auto _ : state) {
        const QList<ax::Element> walked = ElementWalks::flattenedInteractiveElements(window, elements + 1);
        benchmark::DoNotOptimize(walked.size());
    }
    state.SetComplexityN(elements);
    // The backend work per element, which does not depend on the machine's load.
    state.counters["readsPerElement"] =
        double(desktop->callCounts().attributeReads) / double(state.iterations()) / elements;
}

void BM_OptionSurfaceElements(benchmark::State& state) {
    VirtualScheduler scheduler;
    const int elements = int(state.range(0));
    auto desktop = desktopWith(elements, scheduler);
    const RunningApplication host = *Workspace::current().application(501);
    for (auto _ : state) {
        const QList<ax::Element> surface = ElementWalks::optionSurfaceElements(host, elements + 2);
        benchmark::DoNotOptimize(surface.size());
    }
    state.SetComplexityN(elements);
    state.counters["readsPerElement"] =
        double(desktop->callCounts().attributeReads) / double(state.iterations()) / elements;
}

// At the caps the callers use.
void BM_WalksAtTheirCaps(benchmark::State& state) {
    VirtualScheduler scheduler;
    auto desktop = desktopWith(8000, scheduler);
    const ax::Element window = desktop->element(QStringLiteral("window"));
    const RunningApplication host = *Workspace::current().application(501);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ElementWalks::flattenedInteractiveElements(window, ElementWalks::interactiveLimit).size());
        benchmark::DoNotOptimize(
            ElementWalks::optionSurfaceElements(host, ElementWalks::optionSurfaceLimit).size());
    }
}

} // namespace

BENCHMARK(BM_FlattenedInteractiveElements)->Arg(8000)->Arg(16000)->Complexity(benchmark::oN);
BENCHMARK(BM_OptionSurfaceElements)->Arg(8000)->Arg(16000)->Complexity(benchmark::oN);
BENCHMARK(BM_WalksAtTheirCaps);

BENCHMARK_MAIN();
