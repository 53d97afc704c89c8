// Where parallel_unstable_sort spends its time, on the calling thread (no pool): the time
// of every partition, charged to its range's length class [2^k, 2^(k+1)), and of the
// small-range finishes. An observer stamps the clock at each event the sort reports, and
// the time since the previous event goes to the range that event names, so nothing is
// left out and the rows add up to the whole sort (less the clock's own cost, measured and
// taken off every event).
//
//   vexo_profile_unstable [N [REPETITIONS [KERNEL [PATTERN]]]]   the table (defaults
//                                          10^7, 5, the best kernel, random)
//   vexo_profile_unstable N 0 KERNEL [PATTERN]   one untimed sort (sort_once), for callgrind
#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "parallel/kernels.hpp"
#include "parallel/pool_unstable_sort.hpp"
#include "patterns.hpp"

namespace vexo::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The exit codes, which tools/profile-unstable tells apart: a kernel this CPU cannot run
// is no fault of the sort's.
constexpr int exit_unsorted = 1;     // the sort left its array out of order
constexpr int exit_usage = 2;        // an unknown kernel or pattern
constexpr int exit_unsupported = 3;  // a kernel this CPU cannot run

struct Charges {
    std::array<double, 64> partition_ns{};  // by length class of the range partitioned
    std::array<std::size_t, 64> partitions{};
    std::array<std::size_t, 64> partitioned_elements{};
    double insertion_ns = 0;  // ranges of up to unstable_sort_tuning::max_insertion elements
    std::size_t insertion_ranges = 0;
    double heap_ns = 0;  // ranges whose allowance ran out
    Clock::time_point last;
    double clock_ns = 0;  // what one stamp costs, taken off each charge
    std::size_t events = 0;

    double stamp() {
        const Clock::time_point now = Clock::now();
        const double ns = std::chrono::duration<double, std::nano>(now - last).count() - clock_ns;
        last = now;
        ++events;
        return ns;
    }
};

// The sort's observer, on the calling thread as every run here is: each event charges the
// time since the previous one.
struct Stamping : UnstableOnCallingThread {
    Charges* charges;

    void partitioned(SortTarget range, std::size_t /*pivot*/, PartitionSide /*side*/) const noexcept {
        const auto length_class = static_cast<std::size_t>(std::bit_width(range.size()) - 1);
        charges->partition_ns[length_class] += charges->stamp();
        ++charges->partitions[length_class];
        charges->partitioned_elements[length_class] += range.size();
    }
    void ended(UnstableEnd how, SortTarget range) const noexcept {
        const double ns = charges->stamp();
        if (how == UnstableEnd::insertion_sort) {
            charges->insertion_ns += ns;
            ++charges->insertion_ranges;
        } else if (how == UnstableEnd::heap_sort) {
            charges->heap_ns += ns;
        } else {
            // An early finish in order: the checks on the sides of the range's partition.
            charges->partition_ns[static_cast<std::size_t>(std::bit_width(range.size()) - 1)] += ns;
        }
    }
};

// One sort and nothing else, which tools/profile-unstable has callgrind count alone.
[[gnu::noinline]] void sort_once(SortTarget target) { parallel_unstable_sort_observed(target, UnstableOnCallingThread{}); }

// The cost of one stamp, from a long run of them.
double clock_cost_ns() {
    constexpr int stamps = 1'000'000;
    const Clock::time_point start = Clock::now();
    Clock::time_point last = start;
    for (int i = 0; i < stamps; ++i) last = Clock::now();
    return std::chrono::duration<double, std::nano>(last - start).count() / stamps;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

testing::Pattern pattern_named(std::string_view name) {
    for (testing::Pattern pattern : testing::all_patterns) {
        if (testing::name_of(pattern) == name) return pattern;
    }
    std::fprintf(stderr, "unknown pattern '%.*s'\n", static_cast<int>(name.size()), name.data());
    std::exit(exit_usage);
}

Isa isa_named(std::string_view name) {
    for (Isa isa : all_isas) {
        if (name_of(isa) == name) return isa;
    }
    std::fprintf(stderr, "unknown kernel '%.*s'\n", static_cast<int>(name.size()), name.data());
    std::exit(exit_usage);
}

// Whether the last sort left `work` in order; says so on stderr when it did not.
bool sorted(const std::vector<std::int64_t>& work) {
    if (std::is_sorted(work.begin(), work.end())) return true;
    std::fprintf(stderr, "the sort left its array out of order\n");
    return false;
}

int run(std::size_t n, int repetitions, Isa isa, testing::Pattern pattern) {
    if (!isa_supported(isa)) {
        std::fprintf(stderr, "kernel %s is not supported here\n", std::string(name_of(isa)).c_str());
        return exit_unsupported;
    }
    const ForcedKernels forced(isa);
    const std::vector<std::int64_t> input = testing::make_pattern(pattern, n, 12345);
    std::vector<std::int64_t> work = input;
    if (repetitions == 0) {
        sort_once(SortTarget(work));
        return sorted(work) ? 0 : exit_unsorted;
    }
    const double element_count = static_cast<double>(n);
    std::vector<double> plain_ns, profiled_ns;
    Charges charges;
    charges.clock_ns = clock_cost_ns();
    for (int r = 0; r < repetitions; ++r) {
        work = input;
        const Clock::time_point start = Clock::now();
        parallel_unstable_sort_observed(SortTarget(work), UnstableOnCallingThread{});
        plain_ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / element_count);
        work = input;
        Stamping stamping;
        stamping.charges = &charges;
        charges.last = Clock::now();
        parallel_unstable_sort_observed(SortTarget(work), stamping);
    }
    if (!sorted(work)) return exit_unsorted;

    const double per_element = 1.0 / (element_count * repetitions);
    std::printf("kernel %s, n = %zu %s, %d repetitions; clock stamp %.1f ns (taken off each of %zu events a sort)\n",
                std::string(name_of(isa)).c_str(), n, std::string(testing::name_of(pattern)).c_str(), repetitions, charges.clock_ns,
                charges.events / repetitions);
    std::printf("%18s %10s %14s %14s\n", "ranges", "per sort", "ns/element", "ns/el. of range");
    double total = 0;
    for (std::size_t c = 64; c-- > 0;) {
        if (charges.partitions[c] == 0) continue;
        const double share = charges.partition_ns[c] * per_element;
        total += share;
        std::printf("%8zu..%-8zu %10zu %14.3f %14.3f\n", std::size_t{1} << c, (std::size_t{2} << c) - 1,
                    charges.partitions[c] / repetitions, share,
                    charges.partition_ns[c] / static_cast<double>(charges.partitioned_elements[c]));
    }
    const double insertion = charges.insertion_ns * per_element;
    total += insertion + charges.heap_ns * per_element;
    std::printf("%18s %10zu %14.3f\n", "insertion sorts", charges.insertion_ranges / repetitions, insertion);
    std::printf("%18s %10s %14.3f\n", "heap sorts", "", charges.heap_ns * per_element);
    std::printf("total %.2f ns/element profiled; %.2f ns/element unprofiled (median)\n", total, median(plain_ns));
    return 0;
}

}  // namespace
}  // namespace vexo::bench

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
    const vexo::Isa isa = argc > 3 ? vexo::bench::isa_named(argv[3]) : vexo::best_isa();
    const vexo::testing::Pattern pattern = argc > 4 ? vexo::bench::pattern_named(argv[4]) : vexo::testing::Pattern::random;
    return vexo::bench::run(n, repetitions, isa, pattern);
}
