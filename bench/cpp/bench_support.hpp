// Registration of sort benchmarks: every measurement sorts a fresh copy of a prepared
// input, times only the sort (manual timing), and checks the result afterwards against
// std::sort of the same input, so a wrong sort (out of order, or not a permutation of its
// input: lost, duplicated or invented elements) is reported instead of timed.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/sort_target.hpp"
#include "patterns.hpp"

namespace vexo::bench {

using testing::Pattern;

inline void run_sort(benchmark::State& state, const std::function<void(SortTarget)>& routine, Pattern pattern) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<std::int64_t> input = testing::make_pattern(pattern, n, 12345);
    std::vector<std::int64_t> work;
    double sorting_seconds = 0;
    for (auto _ : state) {
        work = input;
        const auto start = std::chrono::steady_clock::now();
        routine(SortTarget(work));
        const auto stop = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(stop - start).count();
        sorting_seconds += seconds;
        state.SetIterationTime(seconds);
    }
    std::vector<std::int64_t> expected = input;
    std::sort(expected.begin(), expected.end());
    if (work != expected) state.SkipWithError("result is not the sorted permutation of its input");
    const double sorted_elements = static_cast<double>(state.iterations()) * static_cast<double>(std::max<std::size_t>(n, 1));
    state.counters["ns/elem"] = sorting_seconds * 1e9 / sorted_elements;
}

// Registers "name/pattern/n" for every pattern and size given.
inline void register_sort(const std::string& name, std::function<void(SortTarget)> routine, std::initializer_list<Pattern> patterns,
                          std::initializer_list<std::int64_t> sizes) {
    for (Pattern pattern : patterns) {
        auto* b = benchmark::RegisterBenchmark(name + "/" + std::string(testing::name_of(pattern)),
                                               [routine, pattern](benchmark::State& state) { run_sort(state, routine, pattern); });
        for (std::int64_t n : sizes) b->Arg(n);
        b->UseManualTime()->Unit(benchmark::kMillisecond);
    }
}

// Registration at static-initialisation time, one per benchmark unit.
#define VEXO_BENCHMARKS(tag)                             \
    static const bool vexo_bench_registered_##tag = [] { \
        register_##tag();                                \
        return true;                                     \
    }()

}  // namespace vexo::bench
