#include "algorithms/heap.hpp"
#include "algorithms/insertion.hpp"
#include "bench_support.hpp"

namespace vexo::bench {
namespace {

void register_classic_in_place() {
    register_sort("heap_sort", heap_sort, {Pattern::random, Pattern::ascending, Pattern::few_distinct}, {1'000, 100'000, 1'000'000});
    register_sort("insertion_sort", insertion_sort, {Pattern::random, Pattern::nearly_sorted}, {16, 256, 4'096});
}
VEXO_BENCHMARKS(classic_in_place);

}  // namespace
}  // namespace vexo::bench
