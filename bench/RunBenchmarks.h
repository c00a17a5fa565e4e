#pragma once

#include <benchmark/benchmark.h>

// Runs the benchmarks the command line selects; false when it holds arguments neither the
// library nor Qt took.
inline bool runBenchmarks(int &argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return false;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return true;
}
