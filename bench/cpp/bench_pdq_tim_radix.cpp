// pdqsort, Timsort and radix sort on the inputs that separate them, next to the
// standard library's sorts at the same sizes (bench_reference.cpp registers std::sort on
// all four patterns and std::stable_sort on random and few-distinct input).
#include <algorithm>

#include "algorithms/pdq.hpp"
#include "algorithms/radix.hpp"
#include "algorithms/tim.hpp"
#include "bench_support.hpp"

namespace vexo::bench {
namespace {

void register_pdq_tim_radix() {
    const auto patterns = {Pattern::random, Pattern::ascending, Pattern::descending, Pattern::few_distinct};
    const std::initializer_list<std::int64_t> sizes = {1'000, 100'000, 1'000'000};
    register_sort("pdq_sort", pdq_sort, patterns, sizes);
    register_sort("tim_sort", tim_sort, patterns, sizes);
    register_sort("radix_sort", radix_sort, patterns, sizes);
    register_sort(
        "std::stable_sort", [](SortTarget t) { std::stable_sort(t.begin(), t.end()); }, {Pattern::ascending, Pattern::descending}, sizes);
    // With each kernel set forced, at the size where the merge kernel's speed shows.
    for_each_forced_kernel_set("tim_sort", tim_sort, [](const std::string& row, const std::function<void(SortTarget)>& forced) {
        register_sort(row, forced, {Pattern::random}, {1'000'000});
    });
}
VEXO_BENCHMARKS(pdq_tim_radix);

}  // namespace
}  // namespace vexo::bench
