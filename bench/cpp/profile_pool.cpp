// Where a hand-in to the pool spends its time, on private pools of 1 and 2 workers, with
// calls back to back and with gaps between them: the stages of an empty job handed in
// from outside (queue, wake-up, start, completion, the caller's wake-up), of a pair handed
// in from outside, and of a steal within a join; then the CPU an idle pool uses once the
// calls stop. Built with its own copy of the pool compiled with VEXO_POOL_PROFILE, whose
// stamps land here (tools/profile-pool).
//
//   vexo_profile_pool [CALLS]   (default 400 calls a row; medians in microseconds)
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "parallel/pool.hpp"
#include "parallel/pool/probe.hpp"
#include "thread_cpu.hpp"

namespace vexo {
namespace {

using Clock = std::chrono::steady_clock;

std::int64_t now_ns() noexcept { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// The first time each stage was reached since the last reset; 0 for never.
std::array<std::atomic<std::int64_t>, static_cast<std::size_t>(PoolStage::count)> stamps;

void reset_stamps() noexcept {
    for (std::atomic<std::int64_t>& stamp : stamps) stamp.store(0, std::memory_order_relaxed);
}

std::int64_t stamp_of(PoolStage stage) noexcept { return stamps[static_cast<std::size_t>(stage)].load(std::memory_order_acquire); }

void spin_for(std::int64_t ns) noexcept {
    const std::int64_t until = now_ns() + ns;
    while (now_ns() < until) {
    }
}

double median_us(std::vector<std::int64_t> samples) {
    if (samples.empty()) return -1;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end());
    return static_cast<double>(samples[samples.size() / 2]) / 1000.0;
}

// One named interval of a row, sampled call by call.
struct Interval {
    const char* name;
    std::vector<std::int64_t> samples;
    void add(std::int64_t from, std::int64_t to) {
        if (from != 0 && to != 0) samples.push_back(to - from);
    }
};

void print_row(const char* label, std::size_t workers, const char* gap, std::vector<Interval>& intervals, std::size_t slept,
               std::size_t calls) {
    std::printf("%-9s %zuw  gap %-6s", label, workers, gap);
    for (Interval& interval : intervals) std::printf("  %s %7.2f", interval.name, median_us(std::move(interval.samples)));
    std::printf("  slept %3zu%%\n", slept * 100 / calls);
}

struct Gap {
    const char* label;
    std::int64_t ns;
};
constexpr Gap gaps[] = {{"0", 0}, {"5us", 5'000}, {"100us", 100'000}, {"2ms", 2'000'000}};

// An empty job from outside: queue, wake, take, completion, caller's wake-up, total.
void profile_outside(ThreadPool& pool, std::size_t calls, const Gap& gap) {
    std::vector<Interval> intervals{{"queue", {}}, {"wake", {}}, {"take", {}}, {"done", {}}, {"back", {}}, {"total", {}}};
    std::size_t slept = 0;
    for (std::size_t call = 0; call < calls; ++call) {
        spin_for(gap.ns);
        reset_stamps();
        std::int64_t ran = 0;
        const std::int64_t start = now_ns();
        pool.install([&] { ran = now_ns(); });
        const std::int64_t end = now_ns();
        intervals[0].add(start, stamp_of(PoolStage::outside_pushed));
        intervals[1].add(stamp_of(PoolStage::outside_pushed), stamp_of(PoolStage::outside_signalled));
        intervals[2].add(start, ran);
        intervals[3].add(ran, stamp_of(PoolStage::outside_completed));
        intervals[4].add(stamp_of(PoolStage::outside_completed), end);
        intervals[5].add(start, end);
        slept += stamp_of(PoolStage::worker_woke) != 0 && stamp_of(PoolStage::worker_woke) < ran;
    }
    print_row("outside", pool.size(), gap.label, intervals, slept, calls);
}

// A pair handed in from outside, as a sort's first partition hands its two sides: from the
// call to the start of each task, and the total. Both tasks take `task_ns`.
void profile_pair(ThreadPool& pool, std::size_t calls, const Gap& gap, std::int64_t task_ns) {
    std::vector<Interval> intervals{{"first", {}}, {"second", {}}, {"total", {}}};
    std::size_t slept = 0;
    for (std::size_t call = 0; call < calls; ++call) {
        spin_for(gap.ns);
        reset_stamps();
        std::int64_t first_started = 0;
        std::int64_t second_started = 0;
        const auto first = [&] {
            first_started = now_ns();
            spin_for(task_ns);
        };
        const auto second = [&] {
            second_started = now_ns();
            spin_for(task_ns);
        };
        const std::int64_t start = now_ns();
        pool.install_pair(TaskRef(first), TaskRef(second));
        const std::int64_t end = now_ns();
        intervals[0].add(start, first_started);
        intervals[1].add(start, second_started);
        intervals[2].add(start, end);
        slept += stamp_of(PoolStage::worker_woke) != 0;
    }
    print_row("pair", pool.size(), gap.label, intervals, slept, calls);
}

// A steal within a join on a worker: the first task keeps its worker busy for `first_ns`,
// the second `second_ns`. Offer to steal, to the thief's start, and the joiner's return
// after the stolen task has completed.
void profile_steal(ThreadPool& pool, std::size_t calls, const Gap& gap, std::int64_t first_ns, std::int64_t second_ns) {
    std::vector<Interval> intervals{{"steal", {}}, {"start", {}}, {"resume", {}}};
    std::size_t slept = 0;
    for (std::size_t call = 0; call < calls; ++call) {
        spin_for(gap.ns);
        std::int64_t second_started = 0;
        pool.install([&] {
            reset_stamps();
            std::atomic<bool> started{false};
            join(
                [&] {
                    spin_for(first_ns);
                    // A joiner that waits: its second task must be stolen first.
                    while (second_ns > first_ns && !started.load()) {
                    }
                },
                [&] {
                    second_started = now_ns();
                    started = true;
                    spin_for(second_ns);
                });
        });
        const std::int64_t offered = stamp_of(PoolStage::offered);
        intervals[0].add(offered, stamp_of(PoolStage::stolen));
        intervals[1].add(offered, stamp_of(PoolStage::stolen) != 0 ? second_started : 0);
        intervals[2].add(stamp_of(PoolStage::stolen_completed), stamp_of(PoolStage::joiner_resumed));
        slept += stamp_of(PoolStage::worker_woke) != 0;
    }
    print_row(second_ns > first_ns ? "join-wait" : "steal", pool.size(), gap.label, intervals, slept, calls);
}

// Busy hand-ins for a while, then the CPU the pool's threads use from 1 ms on, for a
// second (ticks of 10 ms: a worker spinning through it would take about 100).
void profile_idle(ThreadPool& pool) {
    const std::int64_t until = now_ns() + 200'000'000;
    while (now_ns() < until) pool.install([] { spin_for(1'000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const long before = testing::other_threads_cpu_ticks();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long after = testing::other_threads_cpu_ticks();
    std::printf("idle      %zuw  CPU ticks of the pool's threads in the second after the last call (from 1 ms on): %ld of %ld per thread\n",
                pool.size(), after - before, ::sysconf(_SC_CLK_TCK));
}

}  // namespace

void pool_stamp(PoolStage stage) noexcept {
    std::int64_t expected = 0;
    stamps[static_cast<std::size_t>(stage)].compare_exchange_strong(expected, now_ns(), std::memory_order_acq_rel);
}

}  // namespace vexo

int main(int argc, char** argv) {
    using namespace vexo;
    const std::size_t calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 400;
    std::printf("medians in microseconds; slept: calls whose worker (or thief) was asleep\n");
    for (const std::size_t workers : {1, 2}) {
        std::unique_ptr<ThreadPool> pool = ThreadPool::create(workers).pool;
        if (!pool) {
            std::fprintf(stderr, "no pool of %zu workers\n", workers);
            return 1;
        }
        for (const Gap& gap : gaps) profile_outside(*pool, calls, gap);
        if (workers > 1) {
            for (const Gap& gap : gaps) profile_pair(*pool, calls, gap, 50'000);
            for (const Gap& gap : gaps) profile_steal(*pool, calls, gap, 30'000, 0);
            for (const Gap& gap : gaps) profile_steal(*pool, calls, gap, 0, 30'000);
        }
        profile_idle(*pool);
    }
}
