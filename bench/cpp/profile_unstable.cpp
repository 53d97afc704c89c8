// Where parallel_unstable_sort spends its time, on the calling thread (no pool): the time
// of every partition, charged to its range's length class [2^k, 2^(k+1)), and of the
// small-range finishes. An observer stamps the clock at each event the sort reports, and
// the time since the previous event goes to the range that event names, so nothing is
// left out and the rows add up to the whole sort (less the clock's own cost, measured and
// taken off every event). From the last sort's events, rebuilt into its tree of ranges,
// the total work and the critical path (the longest chain of events that must run one
// after another once the pool takes every pair the sort forks), and the speedup bound
// they imply on 2, 16 and 64 cores.
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
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernels/kernels.hpp"
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

// One event of a sort, kept to rebuild its tree of ranges: the range (its offset in the
// sorted array and its length), the time charged to it and, for a partition, where its
// pivot went.
struct RangeEvent {
    std::size_t offset, size;
    double ns;
    bool partition;
    std::size_t pivot;
    PartitionSide side;
};

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
    const std::int64_t* base = nullptr;  // the array sorted, when `tree` records its events
    std::vector<RangeEvent>* tree = nullptr;

    void record(SortTarget range, double ns, bool partition, std::size_t pivot, PartitionSide side) {
        if (tree != nullptr) tree->push_back({static_cast<std::size_t>(range.data() - base), range.size(), ns, partition, pivot, side});
    }

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

    void partitioned(SortTarget range, std::size_t pivot, PartitionSide side) const noexcept {
        const auto length_class = static_cast<std::size_t>(std::bit_width(range.size()) - 1);
        const double ns = charges->stamp();
        charges->record(range, ns, true, pivot, side);
        charges->partition_ns[length_class] += ns;
        ++charges->partitions[length_class];
        charges->partitioned_elements[length_class] += range.size();
    }
    void ended(UnstableEnd how, SortTarget range) const noexcept {
        const double ns = charges->stamp();
        charges->record(range, ns, false, 0, PartitionSide::equal_right);
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

// The work of a range's subtree and its critical path: the longest chain of events that
// must run one after another when the pool takes every pair the sort forks (both sides of a
// partition that leaves a side over max_sequential_side), on unboundedly many workers.
struct Span {
    double work = 0;
    double critical = 0;
};

class RangeTree {
public:
    explicit RangeTree(const std::vector<RangeEvent>& events) {
        for (const RangeEvent& event : events) (event.partition ? partitions_ : ends_)[key(event.offset, event.size)] = &event;
    }

    Span span(std::size_t offset, std::size_t size) const {
        Span result;
        const auto end = ends_.find(key(offset, size));
        if (end != ends_.end()) result.work = result.critical = end->second->ns;
        const auto partition = partitions_.find(key(offset, size));
        if (partition == partitions_.end()) return result;
        const RangeEvent& event = *partition->second;
        // An early finish in order ended the range whole; equal_left leaves its left side done.
        const bool sides_done = end != ends_.end();
        const std::size_t right_size = size - event.pivot - 1;
        const Span left = sides_done || event.side == PartitionSide::equal_left ? Span{} : span(offset, event.pivot);
        const Span right = sides_done ? Span{} : span(offset + event.pivot + 1, right_size);
        const bool forks = !sides_done && event.side == PartitionSide::equal_right &&
                           std::max(event.pivot, right_size) > unstable_sort_tuning::max_sequential_side;
        result.work += event.ns + left.work + right.work;
        result.critical += event.ns + (forks ? std::max(left.critical, right.critical) : left.work + right.work);
        return result;
    }

private:
    static std::pair<std::size_t, std::size_t> key(std::size_t offset, std::size_t size) { return {offset, size}; }
    std::map<std::pair<std::size_t, std::size_t>, const RangeEvent*> partitions_, ends_;
};

void print_parallelism(const std::vector<RangeEvent>& events, std::size_t n) {
    const Span whole = RangeTree(events).span(0, n);
    std::printf("parallelism: work %.1f ms, critical path %.1f ms (%.1f%%), of which the first partition %.1f ms\n", whole.work / 1e6,
                whole.critical / 1e6, 100 * whole.critical / whole.work, events.empty() ? 0.0 : events.front().ns / 1e6);
    for (const double cores : {2.0, 16.0, 64.0}) {
        std::printf("  speedup bound on %2.0f cores: %.2f\n", cores, whole.work / std::max(whole.work / cores, whole.critical));
    }
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
    // The last profiled sort's events, in memory made and touched beforehand, so that no
    // growth or page fault is charged to an event. A sort makes about n / 10 of them.
    std::vector<RangeEvent> events(n / 4 + 64);
    events.clear();
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
        charges.base = work.data();
        if (r + 1 == repetitions) charges.tree = &events;
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
    print_parallelism(events, n);
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
