// The standard library's sorts as the yardstick every vexo routine is read against.
#include <algorithm>

#include "bench_support.hpp"

namespace vexo::bench {
namespace {

void register_reference() {
    register_sort("std::sort", [](SortTarget t) { std::sort(t.begin(), t.end()); },
                  {Pattern::random, Pattern::ascending, Pattern::descending, Pattern::few_distinct}, {1'000, 100'000, 1'000'000});
    register_sort("std::stable_sort", [](SortTarget t) { std::stable_sort(t.begin(), t.end()); }, {Pattern::random, Pattern::few_distinct},
                  {1'000, 100'000, 1'000'000});
}
VEXO_BENCHMARKS(reference);

}  // namespace
}  // namespace vexo::bench
