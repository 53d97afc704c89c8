// The worker pool every parallel sort runs on, and its one operation `join`: run two tasks,
// possibly at the same time, and return when both have finished. Python-free: workers only
// ever see element data, never Python objects or the interpreter lock.
//
// One pool per process (the global pool) is created lazily, under a once-only guard, by the
// first `join` made outside the pool. Its workers live until the process ends. Private
// pools (ThreadPool::create) exist for tests and benchmarks that need a fixed size; they
// are shut down when released.
#pragma once

#include <atomic>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vexo {

// Limits of the pool, each with the reason it has its value.
namespace pool_limits {
// More workers than this buys nothing on any machine vexo runs on and only costs stacks.
inline constexpr std::uint64_t max_workers = 65535;
// Ample for the sorts' recursion (bounded by O(log n) frames per task) and small enough
// that thousands of workers fit in a 64-bit address space.
inline constexpr std::size_t worker_stack_bytes = std::size_t{2} << 20;
}  // namespace pool_limits

// How long an idle thread of the pool looks for work before it sleeps, each with its reason.
namespace pool_tuning {
// Polling with pause instructions between looks, while a job from outside runs: the next
// task of a running sort (a partition's second half, a steal's end) comes within a few
// microseconds, and a sleep and wake-up round trip costs about as much again.
inline constexpr std::chrono::nanoseconds idle_spin_time{20'000};
// Looking in all, yielding the processor between looks after the spin: long enough to
// catch the next call of a program that sorts in a loop and does a little work between
// calls; short enough that an idle pool is quiet well within a millisecond of its last
// task. Yielding, so that a thread with real work (the caller's) gets the processor.
inline constexpr std::chrono::nanoseconds idle_look_time{250'000};
static_assert(idle_spin_time <= idle_look_time);
}  // namespace pool_tuning

// The first sentence of every fault about a pool that could not be created.
inline constexpr std::string_view pool_not_initialised = "The global thread pool has not been initialized.";

// A non-owning reference to a callable, so that `join` can hand tasks between threads
// without allocating. The callable must outlive every use of the reference, which `join`
// guarantees by returning only after both tasks have stopped.
class TaskRef {
public:
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, TaskRef> && std::invocable<F&>)
    TaskRef(F& task) noexcept
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(task)))),
          call_([](void* object) { (*static_cast<F*>(object))(); }) {}

    void operator()() const { call_(object_); }

private:
    void* object_;
    void (*call_)(void*);
};

// --- Pool size -------------------------------------------------------------------------

// An unsigned decimal count: an optional leading "+", then one or more digits 0-9 and
// nothing else, within 64 bits. Anything else (sign "-", blanks, letters, overflow, empty)
// is not a count.
std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept;

// The number of workers for the given values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (null when unset) and the number of online processors (0 when unknown).
std::size_t pool_size_from(const char* num_threads, const char* rs_num_cpus, std::size_t online) noexcept;

// Processors online, 0 if the system cannot tell.
std::size_t online_processors() noexcept;

// --- Pools -----------------------------------------------------------------------------

// How a pool starts one worker: like pthread_create of a detached thread with the given
// stack size; returns 0 or an errno value. Replaceable so tests can make creation fail.
using ThreadStarter = int (*)(void* (*entry)(void*), void* argument, std::size_t stack_bytes);
int start_detached_thread(void* (*entry)(void*), void* argument, std::size_t stack_bytes);

class ThreadPool {
public:
    // Starts `workers` threads (at least 1). On failure to start one, the threads already
    // started are stopped again and the cause is returned instead. If the platform says it
    // cannot start threads at all, the pool runs every task on the calling thread.
    struct Created;
    static Created create(std::size_t workers, ThreadStarter starter = start_detached_thread);

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    // Stops and waits for every worker; only for private pools nobody is using any more.
    ~ThreadPool();

    std::size_t size() const noexcept;

    // Runs `task` on a worker of this pool while the calling thread (not a worker) sleeps;
    // a fault of the task is raised again here. Called from a worker of this pool it just
    // runs the task.
    void install(TaskRef task);

    template <class F>
    void install(F&& task) {
        install(TaskRef(task));
    }

    // Runs `first` and `second` as `join` does from outside the pool: as one job, which
    // the worker that takes it splits, while the calling thread (not a worker) sleeps.
    void install_pair(TaskRef first, TaskRef second);

    class State;

private:
    explicit ThreadPool(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

struct ThreadPool::Created {
    std::unique_ptr<ThreadPool> pool;
    std::string failure;  // why no pool was made; empty on success
};

// The once-only creation of a pool, kept apart from the process-wide instance so that its
// rules (one attempt, the same fault ever after) can be tested with a failing starter.
class OncePool {
public:
    OncePool(std::size_t (*size)(), ThreadStarter starter) noexcept : size_(size), starter_(starter) {}
    // The pool, created on the first call; a fault starting with pool_not_initialised if
    // that creation failed, on the first call and on every later one.
    ThreadPool& get();
    bool started() const noexcept;
    // In the child of a fork: the parent's workers do not exist here, so this is a new
    // process that has not tried to create its pool yet. Only the forking thread runs.
    void forget_after_fork() noexcept;

private:
    void create_once();

    std::size_t (*size_)();
    ThreadStarter starter_;
    std::mutex lock_;
    bool attempted_ = false;                  // guarded by lock_
    std::atomic<ThreadPool*> pool_{nullptr};  // set once, never released: pools outlive their users
    std::string failure_;                     // written under lock_ by the one attempt, read after it
};

// The process-wide pool, created on first call with the size from the environment.
ThreadPool& global_pool();
// Whether the process-wide pool exists (was created successfully). Never creates it.
bool pool_started() noexcept;

// Whether the calling thread is a worker of some pool.
bool on_worker_thread() noexcept;

// Runs `first` and `second`, perhaps in parallel, and returns when both have finished.
// On a worker: `second` is offered to the other workers, `first` runs here, and `second`
// is taken back if nobody took it. Outside the pool: the pair is handed to the global pool
// as one job and the caller sleeps until it is done. A fault of either task is raised
// again here once both have stopped (the first task's fault wins if both fault); it was
// reported on the thread where it arose and is not reported again.
void join_tasks(TaskRef first, TaskRef second);

template <class A, class B>
void join(A&& first, B&& second) {
    join_tasks(TaskRef(first), TaskRef(second));
}

}  // namespace vexo
