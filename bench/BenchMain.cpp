// The benchmark program: Google Benchmark's command line, with the key store,
// the loaded module and its provider handles set up before the first
// benchmark and torn down after the last (or, when the handle benchmarks
// leave too many keys open to free in reasonable time, abandoned: the store
// removed and the process ended).
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    qvnbench::BenchWorld::Start();
    benchmark::RunSpecifiedBenchmarks();
    if (!qvnbench::ReleaseHeldKeys()) {
        qvnbench::BenchWorld::Abandon();
    }
    qvnbench::BenchWorld::Stop();
    benchmark::Shutdown();
    return 0;
}
