// Loading the simulated desktop's fixture must take time in proportion to the fixture: many
// menu elements (all of them menus that close) or many applications. Twice the fixture should
// cost about twice the time (the complexity fit should say N, not N^2).

#include "platform/simulated/SimulatedDesktop.h"
#include "platform/tasks/Scheduler.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <benchmark/benchmark.h>

using namespace quillmere;

namespace {

// One application whose window holds `count` menu elements.
QByteArray menuFixture(int count) {
    QJsonArray items;
    for (int i = 0; i < count; ++i)
        items.append(
            QJsonObject{{"role", "AXMenu"}, {"menu", true}, {"title", QStringLiteral("Menu %1").arg(i)}});
    const QJsonObject window{{"id", "window"}, {"title", "Window"}, {"children", items}};
    const QJsonObject app{{"pid", 501}, {"bundleID", "com.openai.chat"}, {"windows", QJsonArray{window}}};
    return QJsonDocument(QJsonObject{{"apps", QJsonArray{app}}}).toJson(QJsonDocument::Compact);
}

// `count` applications of one window with one button each.
QByteArray applicationsFixture(int count) {
    QJsonArray apps;
    for (int i = 0; i < count; ++i) {
        const QJsonObject button{{"role", "AXButton"}, {"title", "OK"}};
        const QJsonObject window{{"title", "Window"}, {"children", QJsonArray{button}}};
        apps.append(QJsonObject{{"pid", 1000 + i},
                                {"bundleID", QStringLiteral("com.example.app%1").arg(i)},
                                {"windows", QJsonArray{window}}});
    }
    return QJsonDocument(QJsonObject{{"apps", apps}}).toJson(QJsonDocument::Compact);
}

void load(benchmark::State& state, const QByteArray& fixture) {
    VirtualScheduler scheduler;
    for (auto _ : state) {
        auto desktop = sim::SimulatedDesktop::fromJson(fixture, scheduler);
        benchmark::DoNotOptimize(desktop.get());
    }
    state.SetComplexityN(state.range(0));
}

void BM_LoadMenuElements(benchmark::State& state) {
    load(state, menuFixture(int(state.range(0))));
}

void BM_LoadApplications(benchmark::State& state) {
    load(state, applicationsFixture(int(state.range(0))));
}

} // namespace

BENCHMARK(BM_LoadMenuElements)
    ->Arg(25000)
    ->Arg(50000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();
BENCHMARK(BM_LoadApplications)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

BENCHMARK_MAIN();
