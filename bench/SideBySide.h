// Several ways of doing the same thing, timed side by side in one loop. Each
// iteration runs every way once, in an order that rotates from one iteration
// to the next, and times each call on its own (steady clock); the median of
// each way is the figure. A burst of load from elsewhere on the machine then
// falls on all of them alike, and the ratios between them stay steady where
// the times themselves do not.
#ifndef QVN_BENCH_SIDEBYSIDE_H
#define QVN_BENCH_SIDEBYSIDE_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

namespace qvnbench
{

inline double Median(std::vector<double> &samples)
{
    if (samples.empty()) {
        return 0.0;
    }
    const size_t iMiddle = samples.size() / 2;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(iMiddle), samples.end());
    return samples[iMiddle];
}

// Runs the benchmark's loop over the ways given; returns the median time of
// each, in microseconds, in the order given.
template <size_t N>
std::array<double, N> RunSideBySide(benchmark::State &state, const std::array<std::function<void()>, N> &ways)
{
    using Clock = std::chrono::steady_clock;
    std::array<std::vector<double>, N> samples;
    for (std::vector<double> &way : samples) {
        way.reserve(4096);
    }
    size_t iRotation = 0;
    for (auto _ : state) {
        for (size_t iStep = 0; iStep < N; ++iStep) {
            const size_t iWay = (iRotation + iStep) % N;
            const Clock::time_point start = Clock::now();
            ways[iWay]();
            const Clock::time_point stop = Clock::now();
            samples[iWay].push_back(std::chrono::duration<double, std::micro>(stop - start).count());
        }
        iRotation = (iRotation + 1) % N;
    }
    std::array<double, N> medians{};
    for (size_t iWay = 0; iWay < N; ++iWay) {
        medians[iWay] = Median(samples[iWay]);
    }
    return medians;
}

inline double Ratio(double dNumerator, double dDenominator)
{
    return dDenominator > 0 ? dNumerator / dDenominator : 0.0;
}

} // namespace qvnbench

#endif
