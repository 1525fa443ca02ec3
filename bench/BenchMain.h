#pragma once

#include <benchmark/benchmark.h>

// The benchmarks of one program, run inside the Qt application object they need.
template <typename Application>
int runBenchmarks(int argc, char **argv)
{
    Application application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
