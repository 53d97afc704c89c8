// merge, quick and intro next to std::sort (bench_reference.cpp); quick also on sorted
// input, where its fixed last-element pivot makes it quadratic, at sizes that still finish.
#include "algorithms/intro.hpp"
#include "algorithms/merge.hpp"
#include "algorithms/quick.hpp"
#include "bench_support.hpp"

namespace vexo::bench {
namespace {

void register_merge_quick_intro() {
    register_sort("merge_sort", merge_sort, {Pattern::random, Pattern::ascending, Pattern::descending, Pattern::few_distinct},
                  {1'000, 100'000, 1'000'000});
    register_sort("intro_sort", intro_sort, {Pattern::random, Pattern::ascending, Pattern::descending, Pattern::few_distinct},
                  {1'000, 100'000, 1'000'000});
    // Runs of equal values are as quadratic for quick as sorted input, so random input only
    // at full size; the sorted sizes stop where one sort still takes under a minute.
    register_sort("quick_sort", quick_sort, {Pattern::random}, {1'000, 100'000, 1'000'000});
    register_sort("quick_sort", quick_sort, {Pattern::ascending}, {10'000, 100'000, 300'000});
    // With each kernel set forced, at the size where the merge kernel's speed shows.
    for_each_forced_kernel_set("merge_sort", merge_sort, [](const std::string& row, const std::function<void(SortTarget)>& forced) {
        register_sort(row, forced, {Pattern::random}, {1'000'000});
    });
}
VEXO_BENCHMARKS(merge_quick_intro);

}  // namespace
}  // namespace vexo::bench
