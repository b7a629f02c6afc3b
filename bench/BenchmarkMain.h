#pragma once

// The entry point of a benchmark program whose objects need a Qt application for the whole run.

#include <benchmark/benchmark.h>

template <typename Application> int runBenchmarksWith(int argc, char** argv) {
    Application app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
