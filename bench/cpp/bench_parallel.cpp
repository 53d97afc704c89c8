// The parallel sorts against their sequential yardsticks, at one and two workers: vexo's
// three parallel sorts on private pools of a fixed size, the standard library's sorts and,
// when the build found them, oneTBB's parallel_sort and Boost's block_indirect_sort (the
// references a parallel sort has to beat), and Highway's vqsort on one thread (the fastest
// sort per core).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "algorithms/pdq.hpp"
#include "bench_support.hpp"
#include "kernels/kernels.hpp"
#include "parallel/par_merge.hpp"
#include "parallel/pool.hpp"
#include "parallel/pool_stable_sort.hpp"
#include "parallel/pool_unstable_sort.hpp"

#ifdef VEXO_BENCH_WITH_TBB
#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/task_arena.h>
#endif
#ifdef VEXO_BENCH_WITH_BOOST
#include <boost/sort/sort.hpp>
#endif
#ifdef VEXO_BENCH_WITH_HWY
#include <hwy/contrib/sort/vqsort.h>
#include <hwy/targets.h>
#endif

namespace vexo::bench {
namespace {

constexpr std::initializer_list<Pattern> patterns = {Pattern::random, Pattern::ascending, Pattern::descending, Pattern::nearly_sorted,
                                                     Pattern::few_distinct};
constexpr std::initializer_list<std::int64_t> sizes = {10'000, 100'000, 1'000'000, 10'000'000};

// A pool of `workers` kept for the whole benchmark run (pools are cheap when idle). Its
// rows cannot be measured without it: a pool that cannot be created ends the run, with
// the reason, before any benchmark starts.
ThreadPool& pool_of(std::size_t workers) {
    static std::unique_ptr<ThreadPool> pools[3];
    if (!pools[workers]) {
        ThreadPool::Created created = ThreadPool::create(workers);
        if (!created.pool) {
            std::fprintf(stderr, "bench: no pool of %zu workers: %s\n", workers, created.failure.c_str());
            std::exit(1);
        }
        pools[workers] = std::move(created.pool);
    }
    return *pools[workers];
}

void register_on_pools(const std::string& name, const std::function<void(SortTarget)>& routine) {
    for (std::size_t workers : {1, 2}) {
        ThreadPool* pool = &pool_of(workers);
        register_sort(
            name + "[" + std::to_string(workers) + "w]", [pool, routine](SortTarget t) { pool->install([&] { routine(t); }); }, patterns,
            sizes);
    }
}

// A sort with the kernels the module picks (the unnamed rows), and with those of each
// instruction set this CPU runs forced in turn.
void register_with_each_kernel_set(const std::string& name, void (*routine)(SortTarget)) {
    register_on_pools(name, routine);
    for_each_forced_kernel_set(name, routine, register_on_pools);
}

void register_unstable_sorts() {
    register_with_each_kernel_set("par_sort_unstable", parallel_unstable_sort);
    // The same quicksort with no pool at all: what one worker costs on top of it.
    register_sort(
        "par_sort_unstable[no-pool]", [](SortTarget t) { parallel_unstable_sort_observed(t, UnstableOnCallingThread{}); }, patterns, sizes);
}

void register_parallel() {
    register_unstable_sorts();
    register_with_each_kernel_set("par_sort", parallel_stable_sort);
    register_with_each_kernel_set("par_merge", par_merge_sort);
    register_sort("pdq_sort[seq]", pdq_sort, patterns, sizes);
    register_sort("std::sort[seq]", [](SortTarget t) { std::sort(t.begin(), t.end()); }, patterns, sizes);
    register_sort("std::stable_sort[seq]", [](SortTarget t) { std::stable_sort(t.begin(), t.end()); }, patterns, sizes);
#ifdef VEXO_BENCH_WITH_TBB
    for (int threads : {1, 2}) {
        auto arena = std::make_shared<tbb::task_arena>(threads);
        register_sort(
            "tbb::parallel_sort[" + std::to_string(threads) + "w]",
            [arena](SortTarget t) { arena->execute([&] { tbb::parallel_sort(t.begin(), t.end()); }); }, patterns, sizes);
    }
#endif
#ifdef VEXO_BENCH_WITH_BOOST
    for (unsigned threads : {1u, 2u}) {
        register_sort(
            "boost::block_indirect_sort[" + std::to_string(threads) + "w]",
            [threads](SortTarget t) { boost::sort::block_indirect_sort(t.begin(), t.end(), threads); }, patterns, sizes);
    }
#endif
#ifdef VEXO_BENCH_WITH_HWY
    // One thread: the best a single core does, which two workers of vexo should beat.
    const auto vqsort = [](SortTarget t) { hwy::VQSort(t.data(), t.size(), hwy::SortAscending()); };
    register_sort("hwy::VQSort[seq]", vqsort, patterns, sizes);
    // And held to AVX2, the yardstick of vexo's AVX2 kernels on any CPU with AVX2: every
    // wider target (the lower bits) is disabled for the whole benchmark, since Highway's
    // choice is process-wide and choosing again costs more than a short sort.
    if ((hwy::SupportedTargets() & HWY_AVX2) != 0) {
        register_sort("hwy::VQSort<avx2>[seq]", vqsort, patterns, sizes, [](const std::function<void()>& run) {
            hwy::DisableTargets(HWY_AVX2 - 1);
            run();
            hwy::DisableTargets(0);
        });
    }
#endif
}
VEXO_BENCHMARKS(parallel);

}  // namespace
}  // namespace vexo::bench
