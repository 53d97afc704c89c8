// Each merge kernel this CPU runs, alone, at the run lengths the stable sorts merge: a
// merge sort's levels from a few elements up, tim's runs of 16 to 32 and their doubles,
// par_sort's chunks of 2000, and the long merges near the top. One iteration merges
// 2^20 elements in all, as pairs of equal random runs (or, for "ordered", pairs whose
// left run lies wholly below the right one), so short merges are timed by the thousand.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kernels/kernels.hpp"
#include "kernels/merge_runs.hpp"

namespace vexo::bench {
namespace {

constexpr std::size_t merged_per_iteration = std::size_t{1} << 20;

// Pairs of sorted runs of `length` elements each, back to back, as many as fit.
std::vector<std::int64_t> run_pairs(std::size_t length, bool ordered) {
    std::vector<std::int64_t> runs(merged_per_iteration / (2 * length) * (2 * length));
    std::mt19937_64 rng(length);
    for (auto& x : runs) x = static_cast<std::int64_t>(rng() >> 1);
    for (std::size_t first = 0; first < runs.size(); first += 2 * length) {
        const auto begin = runs.begin() + static_cast<std::ptrdiff_t>(first);
        if (ordered) {
            std::sort(begin, begin + static_cast<std::ptrdiff_t>(2 * length));
        } else {
            std::sort(begin, begin + static_cast<std::ptrdiff_t>(length));
            std::sort(begin + static_cast<std::ptrdiff_t>(length), begin + static_cast<std::ptrdiff_t>(2 * length));
        }
    }
    return runs;
}

void run_merges(benchmark::State& state, void (*merge)(const std::int64_t*, std::size_t, const std::int64_t*, std::size_t, std::int64_t*),
                bool ordered) {
    const auto length = static_cast<std::size_t>(state.range(0));
    const std::vector<std::int64_t> runs = run_pairs(length, ordered);
    std::vector<std::int64_t> out(runs.size());
    double merging_seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t first = 0; first < runs.size(); first += 2 * length) {
            merge(runs.data() + first, length, runs.data() + first + length, length, out.data() + first);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        merging_seconds += seconds;
        state.SetIterationTime(seconds);
    }
    for (std::size_t first = 0; first < runs.size(); first += 2 * length) {
        if (!std::is_sorted(out.begin() + static_cast<std::ptrdiff_t>(first),
                            out.begin() + static_cast<std::ptrdiff_t>(first + 2 * length))) {
            state.SkipWithError("a merged pair is out of order");
        }
    }
    state.counters["ns/elem"] = merging_seconds * 1e9 / (static_cast<double>(state.iterations()) * static_cast<double>(runs.size()));
}

void register_merge_kernels() {
    for (bool ordered : {false, true}) {
        const std::string pattern = ordered ? "/ordered" : "/random";
        for (Isa isa : all_isas) {
            if (!isa_supported(isa)) continue;
            auto* b =
                benchmark::RegisterBenchmark("merge_kernel<" + std::string(name_of(isa)) + ">" + pattern,
                                             [isa, ordered](benchmark::State& state) { run_merges(state, kernels(isa).merge, ordered); });
            for (std::int64_t length : {4, 8, 16, 32, 64, 128, 1000, 8192, 1 << 19}) b->Arg(length);
            b->UseManualTime()->Unit(benchmark::kMillisecond);
        }
    }
}
VEXO_BENCHMARKS(merge_kernels);

}  // namespace
}  // namespace vexo::bench
