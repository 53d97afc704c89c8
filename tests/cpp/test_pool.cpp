// The worker pool: its size rules, join from outside and inside the pool, fault travel,
// creation failure and the once-only guard.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/fault.hpp"
#include "parallel/pool.hpp"
#include "thread_cpu.hpp"

namespace vexo {
namespace {

// --- Size rules ------------------------------------------------------------------------

// A size from each variable: an optional "+", then decimal digits only, within 64 bits;
// 0 asks for the default and ends the search; anything else hands over to the next.
TEST(PoolSizeRules, FollowTheVariablesInOrder) {
    struct {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t online, expected;
    } const table[] = {{"4", nullptr, 8, 4},
                       {"+2", "7", 8, 2},
                       {"007", "5", 8, 7},
                       {"0", "3", 8, 8},
                       {"-1", "3", 8, 3},
                       {"two", "3", 8, 3},
                       {" 3", "5", 8, 5},
                       {"3 ", "5", 8, 5},
                       {"", "5", 8, 5},
                       {"+", "5", 8, 5},
                       {"++2", "5", 8, 5},
                       {"+-2", "5", 8, 5},
                       {"1e3", "5", 8, 5},
                       {"18446744073709551616", "5", 2, 5},
                       {"99999999999999999999", "5", 2, 5},
                       {"18446744073709551615", nullptr, 2, 65535},
                       {"70000", nullptr, 8, 65535},
                       {nullptr, "3", 8, 3},
                       {nullptr, "+3", 8, 3},
                       {nullptr, "0", 6, 6},
                       {nullptr, "x", 6, 6},
                       {nullptr, "70000", 1, 65535},
                       {nullptr, nullptr, 8, 8},
                       {nullptr, nullptr, 0, 1},
                       {"0", nullptr, 0, 1},
                       {nullptr, nullptr, 100000, 65535}};
    for (const auto& c : table) {
        EXPECT_EQ(pool_size_from(c.num_threads, c.rs_num_cpus, c.online), c.expected)
            << (c.num_threads ? c.num_threads : "unset") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "unset") << " / " << c.online;
    }
}

// --- Join --------------------------------------------------------------------------------

// Counts the leaves of a binary tree of joins, noting which threads ran them.
struct LeafLog {
    std::mutex lock;
    std::set<std::thread::id> threads;  // guarded by lock
    void note() {
        std::lock_guard<std::mutex> hold(lock);
        threads.insert(std::this_thread::get_id());
    }
};

std::uint64_t count_leaves(unsigned depth, LeafLog* log) {
    if (depth == 0) {
        if (log != nullptr) log->note();
        return 1;
    }
    std::uint64_t left = 0;
    std::uint64_t right = 0;
    join([&] { left = count_leaves(depth - 1, log); }, [&] { right = count_leaves(depth - 1, log); });
    return left + right;
}

std::unique_ptr<ThreadPool> make_pool(std::size_t workers) {
    ThreadPool::Created created = ThreadPool::create(workers);
    EXPECT_TRUE(created.failure.empty()) << created.failure;
    return std::move(created.pool);
}

// Runs `body`, which must fault, and gives the fault's message and what stderr received.
struct Faulted {
    std::string message;
    std::string stderr_text;
};

Faulted run_faulting(const std::function<void()>& body) {
    Faulted result;
    ::testing::internal::CaptureStderr();
    try {
        body();
        ADD_FAILURE() << "the fault did not reach the caller";
    } catch (const InternalFault& fault) {
        result.message = fault.message();
    }
    result.stderr_text = ::testing::internal::GetCapturedStderr();
    return result;
}

// Sizes 1 to 3, and the default size of one worker per processor.
std::vector<std::size_t> pool_sizes() {
    std::set<std::size_t> sizes = {1, 2, 3, std::max<std::size_t>(online_processors(), 1)};
    return {sizes.begin(), sizes.end()};
}

class PoolOfSize : public ::testing::TestWithParam<std::size_t> {};
INSTANTIATE_TEST_SUITE_P(Sizes, PoolOfSize, ::testing::ValuesIn(pool_sizes()));

TEST_P(PoolOfSize, RunsDeeplyNestedJoinsOnItsWorkersOnly) {
    auto pool = make_pool(GetParam());
    ASSERT_EQ(pool->size(), GetParam());
    LeafLog log;
    std::uint64_t leaves = 0;
    pool->install([&] { leaves = count_leaves(12, &log); });
    EXPECT_EQ(leaves, 4096u);
    EXPECT_LE(log.threads.size(), GetParam());
    EXPECT_FALSE(log.threads.contains(std::this_thread::get_id())) << "the outside caller must only wait";
    if (GetParam() == 1) {
        EXPECT_EQ(log.threads.size(), 1u) << "a single worker runs every pair itself";
    }
}

TEST_P(PoolOfSize, FaultOfSecondTaskSurfacesAfterFirstFinished) {
    auto pool = make_pool(GetParam());
    std::atomic<bool> first_done{false};
    bool first_done_at_catch = false;
    const Faulted faulted = run_faulting([&] {
        try {
            pool->install([&] {
                join(
                    [&] {
                        std::this_thread::sleep_for(std::chrono::milliseconds(30));
                        first_done = true;
                    },
                    [] { raise_fault("second task fault"); });
            });
        } catch (const InternalFault&) {
            first_done_at_catch = first_done.load();
            throw;
        }
    });
    EXPECT_TRUE(first_done_at_catch) << "raised before the first task had finished";
    EXPECT_EQ(faulted.message, "second task fault");
    const std::string& report = faulted.stderr_text;
    EXPECT_EQ(report.find("panicked at"), report.rfind("panicked at")) << "reported more than once:\n" << report;
    EXPECT_NE(report.find("second task fault"), std::string::npos);
}

TEST_P(PoolOfSize, FirstTaskFaultWinsAndSecondTaskStillRuns) {
    auto pool = make_pool(GetParam());
    std::atomic<bool> second_ran{false};
    const Faulted faulted = run_faulting([&] {
        pool->install([&] {
            join([] { raise_fault("first"); },
                 [&] {
                     second_ran = true;
                     raise_fault("second");
                 });
        });
    });
    EXPECT_EQ(faulted.message, "first");
    EXPECT_TRUE(second_ran.load());
    // The pool is intact afterwards.
    std::uint64_t leaves = 0;
    pool->install([&] { leaves = count_leaves(5, nullptr); });
    EXPECT_EQ(leaves, 32u);
}

TEST_P(PoolOfSize, FaultDeepInsideNestedJoinsReachesTheCaller) {
    auto pool = make_pool(GetParam());
    std::atomic<int> finished{0};
    const auto tree = [&](auto& self, unsigned depth, unsigned path) -> void {
        if (depth == 0) {
            if (path == 37) raise_fault("leaf 37");
            ++finished;
            return;
        }
        join([&] { self(self, depth - 1, path * 2); }, [&] { self(self, depth - 1, path * 2 + 1); });
    };
    EXPECT_EQ(run_faulting([&] { pool->install([&] { tree(tree, 8, 0); }); }).message, "leaf 37");
    EXPECT_EQ(finished.load(), 255) << "every other leaf runs to its end before the fault arrives";
}

TEST(Pool, ManyOutsideThreadsJoinAtOnce) {
    auto pool = make_pool(2);
    std::vector<std::thread> callers;
    std::atomic<std::uint64_t> total{0};
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 10; ++round) {
                std::uint64_t leaves = 0;
                if (t % 2 == 0) {
                    pool->install([&] { leaves = count_leaves(6, nullptr); });
                } else {
                    leaves = count_leaves(6, nullptr);  // through the process-wide pool
                }
                total += leaves;
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(total.load(), 8u * 10u * 64u);
    EXPECT_TRUE(pool_started());
}

// --- Sleep and wake-up -------------------------------------------------------------------

// Long enough for every idle worker to stop looking for work and sleep.
void let_the_workers_fall_asleep() { std::this_thread::sleep_for(pool_tuning::idle_look_time * 4 + std::chrono::milliseconds(1)); }

// Hand-ins from outside, back to back and each after the workers fell asleep: a lost
// wake-up leaves a caller asleep for good, which the per-test time limit turns into a
// failure within seconds.
TEST_P(PoolOfSize, OutsideCallsCompleteBackToBackAndAfterTheWorkersSlept) {
    auto pool = make_pool(GetParam());
    for (int round = 0; round < 8; ++round) {
        if (round % 2 == 1) let_the_workers_fall_asleep();
        for (int call = 0; call < 50; ++call) {
            std::uint64_t leaves = 0;
            pool->install([&] { leaves = count_leaves(3, nullptr); });
            ASSERT_EQ(leaves, 8u);
        }
    }
}

// wake_ahead only ever wakes: outside the pool it never creates the process-wide pool, and
// joins after it complete as ever, on a worker and from outside, awake or asleep.
TEST(Pool, WakingAheadNeverCreatesThePoolAndLeavesJoinsWhole) {
    wake_ahead();
    EXPECT_FALSE(pool_started());
    EXPECT_EQ(count_leaves(4, nullptr), 16u);  // the first join creates it
    let_the_workers_fall_asleep();
    wake_ahead();
    EXPECT_EQ(count_leaves(4, nullptr), 16u);
    auto pool = make_pool(2);
    let_the_workers_fall_asleep();
    pool->install([&] {
        wake_ahead();
        EXPECT_EQ(count_leaves(4, nullptr), 16u);
    });
}

// A pair whose second task must run on another worker (the first waits until it has
// started), offered while that worker sleeps: it completes only if the offer wakes a
// sleeper. The second task then outlasts the first by more than an idle thread looks, so
// the joiner sleeps too and returns only if the thief wakes it when the stolen job ends.
TEST_P(PoolOfSize, OffersWakeASleeperAndTheThiefWakesItsJoiner) {
    if (GetParam() < 2) GTEST_SKIP() << "a steal needs a second worker";
    auto pool = make_pool(GetParam());
    for (int round = 0; round < 4; ++round) {
        let_the_workers_fall_asleep();
        std::atomic<bool> second_started{false};
        std::thread::id first_thread;
        std::thread::id second_thread;
        pool->install([&] {
            join(
                [&] {
                    first_thread = std::this_thread::get_id();
                    while (!second_started.load()) std::this_thread::yield();
                },
                [&] {
                    second_thread = std::this_thread::get_id();
                    second_started = true;
                    std::this_thread::sleep_for(pool_tuning::idle_look_time * 4);
                });
        });
        EXPECT_NE(first_thread, second_thread);
    }
}

// From 1 ms after the last call, no thread of the pool may use the processor: a worker
// that kept spinning would take about as many ticks as the window has.
TEST(Pool, AnIdlePoolGoesQuiet) {
    auto pool = make_pool(2);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    while (std::chrono::steady_clock::now() < until) pool->install([] { count_leaves(4, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const long before = testing::other_threads_cpu_ticks();
    ASSERT_GE(before, 0) << "no /proc/self/task here";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long used = testing::other_threads_cpu_ticks() - before;
    EXPECT_LE(used, 1) << "ticks used by idle workers in half a second, of " << ::sysconf(_SC_CLK_TCK) / 2;
}

// --- Creation failure ------------------------------------------------------------------

std::atomic<int> starts_attempted{0};

// Starts two threads for real, then refuses as a process out of threads would.
int third_start_fails(void* (*entry)(void*), void* argument, std::size_t stack_bytes) {
    if (++starts_attempted > 2) return EAGAIN;
    return start_detached_thread(entry, argument, stack_bytes);
}

std::size_t four_workers() { return 4; }

TEST(PoolCreation, FailureIsAttemptedOnceAndRepeatedAsTheSameFault) {
    starts_attempted = 0;
    OncePool once(four_workers, third_start_fails);
    const std::string first_message = run_faulting([&] { once.get(); }).message;
    EXPECT_EQ(first_message.rfind(pool_not_initialised, 0), 0u) << first_message;
    EXPECT_NE(first_message.find("worker thread 3 of 4"), std::string::npos) << first_message;
    EXPECT_EQ(starts_attempted.load(), 3);
    EXPECT_FALSE(once.started());

    const Faulted again = run_faulting([&] { once.get(); });
    EXPECT_EQ(again.message, first_message) << "a failed pool stays absent";
    EXPECT_EQ(starts_attempted.load(), 3) << "creation is attempted once per process";
    EXPECT_NE(again.stderr_text.find(std::string(pool_not_initialised)), std::string::npos);
}

int threads_unsupported(void* (*)(void*), void*, std::size_t) { return ENOSYS; }

TEST(PoolCreation, WithoutThreadSupportTheCallerIsTheOnlyWorker) {
    ThreadPool::Created created = ThreadPool::create(4, threads_unsupported);
    ASSERT_TRUE(created.pool) << created.failure;
    EXPECT_EQ(created.pool->size(), 1u);
    LeafLog log;
    std::uint64_t leaves = 0;
    created.pool->install([&] { leaves = count_leaves(6, &log); });
    EXPECT_EQ(leaves, 64u);
    EXPECT_EQ(log.threads, std::set<std::thread::id>{std::this_thread::get_id()});

    EXPECT_EQ(run_faulting([&] { created.pool->install([] { join([] {}, [] { raise_fault("inline fault"); }); }); }).message,
              "inline fault");
}

}  // namespace
}  // namespace vexo
