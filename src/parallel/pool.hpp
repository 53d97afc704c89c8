// The worker pool every parallel sort runs on, and its one operation `join`: run two tasks,
// possibly at the same time, and return when both have finished. Python-free: workers only
// ever see element data, never Python objects or the interpreter lock.
//
// One pool per process (the global pool) is created lazily, under a once-only guard, by the
// first `join` made outside the pool. Its workers live until the process ends. Private
// pools (ThreadPool::create) exist for tests and benchmarks that need a fixed size; they
// are shut down when released.
//
// This header is the pool's face, and the one the sorts include; pool.cpp is the registry
// (creation, the once-only global pool, fork). The rest lives by concern under pool/, each
// unit including only those below it:
//   sizes    the size rules and the pool's limits
//   queues   a job, the job ring, the lock-guarded queue
//   state    the pool's and each worker's fields, each with its guard
//   steal    one look for work: the own deque, the other workers', the shared queue
//   sleep    spin, look, sleep and wake-up, with the protocol written down; pool_tuning
//   join     join and install, the jobs they queue, the workers' lives
//   probe    the profiler's time stamps
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "parallel/pool/join.hpp"
#include "parallel/pool/sizes.hpp"
#include "parallel/pool/sleep.hpp"

namespace vexo {

namespace pool_detail {
class State;
}

// The first sentence of every fault about a pool that could not be created.
// Frozen: see docs/compatibility.md.
inline constexpr std::string_view pool_not_initialised = "The global thread pool has not been initialized.";

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

    // Wakes one sleeping worker, if any sleeps (see wake_ahead).
    void wake_one_sleeper();

private:
    explicit ThreadPool(std::unique_ptr<pool_detail::State> state) noexcept;
    std::unique_ptr<pool_detail::State> state_;
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

}  // namespace vexo
