// Where the stable sorts spend their time: every merge timed by its length (the sorts
// built with VEXO_MERGE_PROFILE, see kernels/merge_probe.hpp), against each sort's whole
// time, with each merge kernel this CPU runs forced in turn. par_sort and par_merge run on
// a private pool of one worker, so their merges are timed one at a time. Each figure is
// the least of five runs.
//
//   build/bench/vexo_profile_merges [N [PATTERN]]   (default 1000000 random)
#include <algorithm>
#include <array>
#include <bit>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "algorithms/merge.hpp"
#include "algorithms/tim.hpp"
#include "kernels/kernels.hpp"
#include "parallel/par_merge.hpp"
#include "parallel/pool.hpp"
#include "parallel/pool_stable_sort.hpp"
#include "patterns.hpp"

namespace vexo {
namespace {

// Merges by the bit width of their length: bucket k holds lengths 2^(k-1) to 2^k - 1.
struct Bucket {
    std::atomic<std::uint64_t> merges{0};
    std::atomic<std::uint64_t> elements{0};
    std::atomic<std::uint64_t> ticks{0};
};
std::array<Bucket, 64> buckets;

void reset() {
    for (auto& b : buckets) {
        b.merges = 0;
        b.elements = 0;
        b.ticks = 0;
    }
}

struct Sort {
    const char* name;
    void (*routine)(SortTarget);
};

ThreadPool& one_worker() {
    static ThreadPool::Created created = ThreadPool::create(1);
    if (!created.pool) {
        std::fprintf(stderr, "profile-merges: no pool of one worker: %s\n", created.failure.c_str());
        std::exit(1);
    }
    return *created.pool;
}

void run_on_pool(void (*routine)(SortTarget), SortTarget t) {
    one_worker().install([&] { routine(t); });
}

// What timing one merge adds, in clock ticks: the median over many empty timings. The
// profile takes it off every merge's time and off the sort's, so that the shortest merges
// are not drowned in it.
double timer_ticks() {
    std::vector<std::uint64_t> samples;
    for (int round = 0; round < 101; ++round) {
        reset();
        const std::uint64_t start = merge_clock();
        for (int k = 0; k < 1000; ++k) {
            const MergeTimer timer(0);
        }
        samples.push_back(merge_clock() - start);
    }
    std::nth_element(samples.begin(), samples.begin() + 50, samples.end());
    return static_cast<double>(samples[50]) / 1000.0;
}

constexpr int runs = 5;

void profile(const Sort& sort, Isa isa, const std::vector<std::int64_t>& input) {
    static const double overhead = timer_ticks();
    const ForcedKernels forced(isa);
    std::vector<std::int64_t> work = input;
    sort.routine(SortTarget(work));  // once untimed: pages touched, pool started
    // The least of several runs, bucket by bucket: what another process took from this
    // one's core shows as a rare long merge, which the least leaves out.
    std::array<std::uint64_t, 64> least_ticks;
    least_ticks.fill(UINT64_MAX);
    std::uint64_t raw_ticks = UINT64_MAX;
    double raw_ns = 0;
    for (int run = 0; run < runs; ++run) {
        work = input;
        reset();
        const auto start = std::chrono::steady_clock::now();
        const std::uint64_t first_tick = merge_clock();
        sort.routine(SortTarget(work));
        const std::uint64_t run_ticks = merge_clock() - first_tick;
        const double run_ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        if (!std::is_sorted(work.begin(), work.end())) std::printf("%s<%s>: NOT SORTED\n", sort.name, std::string(name_of(isa)).c_str());
        if (run_ticks < raw_ticks) {
            raw_ticks = run_ticks;
            raw_ns = run_ns;
        }
        for (std::size_t k = 0; k < buckets.size(); ++k) least_ticks[k] = std::min(least_ticks[k], buckets[k].ticks.load());
    }
    for (std::size_t k = 0; k < buckets.size(); ++k) buckets[k].ticks = least_ticks[k];
    const double ns_per_tick = raw_ns / static_cast<double>(raw_ticks);
    // Each bucket's time and the sort's, less what the timing itself took.
    const auto net_ticks = [](const Bucket& b) {
        return std::max(0.0, static_cast<double>(b.ticks) - overhead * static_cast<double>(b.merges));
    };
    double merge_ticks = 0;
    double timing_ticks = 0;
    for (const auto& b : buckets) {
        merge_ticks += net_ticks(b);
        timing_ticks += overhead * static_cast<double>(b.merges);
    }
    const double ticks = static_cast<double>(raw_ticks) - timing_ticks;
    const double ns = ticks * ns_per_tick;
    const double n = static_cast<double>(input.size());
    std::printf("\n%s<%s>: %.2f ns per element, merging %.0f%% (timing took %.2f more)\n", sort.name, std::string(name_of(isa)).c_str(),
                ns / n, 100.0 * merge_ticks / ticks, timing_ticks * ns_per_tick / n);
    std::printf("  %-17s %10s %12s %14s %10s\n", "merge length", "merges", "ns/merged", "ns/element", "share");
    for (std::size_t k = 1; k < buckets.size(); ++k) {
        const auto& b = buckets[k];
        if (b.merges == 0) continue;
        const double bucket_ns = net_ticks(b) * ns_per_tick;
        const std::string lengths = std::to_string(std::size_t{1} << (k - 1)) + "-" + std::to_string((std::size_t{1} << k) - 1);
        std::printf("  %-17s %10llu %12.2f %14.2f %9.1f%%\n", lengths.c_str(), static_cast<unsigned long long>(b.merges.load()),
                    bucket_ns / static_cast<double>(b.elements), bucket_ns / n, 100.0 * bucket_ns / ns);
    }
}

}  // namespace

void merge_timed(std::size_t length, std::uint64_t start) noexcept {
    const std::uint64_t ticks = merge_clock() - start;
    Bucket& b = buckets[static_cast<std::size_t>(std::bit_width(length))];
    b.merges.fetch_add(1, std::memory_order_relaxed);
    b.elements.fetch_add(length, std::memory_order_relaxed);
    b.ticks.fetch_add(ticks, std::memory_order_relaxed);
}

}  // namespace vexo

int main(int argc, char** argv) {
    using namespace vexo;
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    const std::string pattern_name = argc > 2 ? argv[2] : "random";
    const testing::Pattern* pattern = nullptr;
    for (const auto& p : testing::all_patterns) {
        if (testing::name_of(p) == pattern_name) pattern = &p;
    }
    if (pattern == nullptr) {
        std::fprintf(stderr, "unknown pattern %s\n", pattern_name.c_str());
        return 2;
    }
    const std::vector<std::int64_t> input = testing::make_pattern(*pattern, n, 12345);
    const Sort sorts[] = {
        {"merge", merge_sort},
        {"tim", tim_sort},
        {"par_sort[1w]", [](SortTarget t) { run_on_pool(parallel_stable_sort, t); }},
        {"par_merge[1w]", [](SortTarget t) { run_on_pool(par_merge_sort, t); }},
    };
    std::printf("%zu elements, %s\n", n, pattern_name.c_str());
    for (const Sort& sort : sorts) {
        for (Isa isa : all_isas) {
            if (isa_supported(isa)) profile(sort, isa, input);
        }
    }
}
