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
#include "kernels/kernels.hpp"
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

// What a benchmark holds for its whole run, around all of its timed calls: a process-wide
// setting that would cost more than a call to set for each call. It runs its argument once.
using Scope = std::function<void(const std::function<void()>&)>;

// Registers "name/pattern/n" for every pattern and size given, each run inside `scope`
// where one is given.
inline void register_sort(const std::string& name, std::function<void(SortTarget)> routine, std::initializer_list<Pattern> patterns,
                          std::initializer_list<std::int64_t> sizes, Scope scope = {}) {
    for (Pattern pattern : patterns) {
        auto* b = benchmark::RegisterBenchmark(name + "/" + std::string(testing::name_of(pattern)),
                                               [routine, pattern, scope](benchmark::State& state) {
                                                   const auto run = [&] { run_sort(state, routine, pattern); };
                                                   if (scope) {
                                                       scope(run);
                                                   } else {
                                                       run();
                                                   }
                                               });
        for (std::int64_t n : sizes) b->Arg(n);
        b->UseManualTime()->Unit(benchmark::kMillisecond);
    }
}

// Calls add("name<isa>", the routine with isa's kernels forced) for each instruction set
// this CPU runs, so that one CPU measures every kernel (AVX2's on an AVX-512 CPU too).
inline void for_each_forced_kernel_set(const std::string& name, void (*routine)(SortTarget),
                                       const std::function<void(const std::string&, const std::function<void(SortTarget)>&)>& add) {
    for (Isa isa : all_isas) {
        if (!isa_supported(isa)) continue;
        add(name + "<" + std::string(name_of(isa)) + ">", [isa, routine](SortTarget t) {
            const ForcedKernels forced(isa);
            routine(t);
        });
    }
}

// Registration at static-initialisation time, one per benchmark unit.
#define VEXO_BENCHMARKS(tag)                             \
    static const bool vexo_bench_registered_##tag = [] { \
        register_##tag();                                \
        return true;                                     \
    }()

}  // namespace vexo::bench
