// The pool's registry: starting a pool's workers (and giving up on them if one cannot be
// started), private pools' shutdown, and the once-only process-wide pool with its fork
// handling. The creation fault is raised here. How the workers share and sleep, and what a
// join does, lives under pool/ (pool.hpp lists the units).
#include "parallel/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <system_error>
#include <utility>

#include "core/fault.hpp"
#include "parallel/pool/state.hpp"

namespace vexo {

int start_detached_thread(void* (*entry)(void*), void* argument, std::size_t stack_bytes) {
    pthread_attr_t attributes;
    if (const int error = ::pthread_attr_init(&attributes); error != 0) return error;
    int error = ::pthread_attr_setstacksize(&attributes, stack_bytes);
    if (error == 0) error = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (error == 0) error = ::pthread_create(&thread, &attributes, entry, argument);
    ::pthread_attr_destroy(&attributes);
    return error;
}

namespace {

using pool_detail::State;
using pool_detail::Worker;

std::string start_failure(std::size_t position, std::size_t workers, int error) {
    return "worker thread " + std::to_string(position + 1) + " of " + std::to_string(workers) +
           " could not be started: " + std::system_category().message(error) + " (os error " + std::to_string(error) + ")";
}

}  // namespace

// --- ThreadPool ------------------------------------------------------------------------

ThreadPool::ThreadPool(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}

ThreadPool::Created ThreadPool::create(std::size_t workers, ThreadStarter starter) {
    workers = std::max<std::size_t>(workers, 1);
    auto state = std::make_unique<State>();
    state->workers.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) state->workers.push_back(std::make_unique<Worker>(*state, i));

    for (std::size_t i = 0; i < workers; ++i) {
        const int error = starter(pool_detail::worker_entry, state->workers[i].get(), pool_limits::worker_stack_bytes);
        if (error == 0) {
            std::lock_guard<std::mutex> hold(state->life_lock);
            ++state->live;
            continue;
        }
        if (i == 0 && (error == ENOSYS || error == ENOTSUP)) {
            // No threads on this platform at all: the creating thread is the one worker.
            state->workers.clear();
            state->inline_only = true;
            return Created{std::unique_ptr<ThreadPool>(new ThreadPool(std::move(state))), {}};
        }
        {
            std::lock_guard<std::mutex> hold(state->life_lock);
            state->phase = State::Phase::abandoned;
        }
        state->life_changed.notify_all();
        state->wait_until_no_worker_lives();
        return Created{nullptr, start_failure(i, workers, error)};
    }
    {
        std::lock_guard<std::mutex> hold(state->life_lock);
        state->phase = State::Phase::running;
    }
    state->life_changed.notify_all();
    return Created{std::unique_ptr<ThreadPool>(new ThreadPool(std::move(state))), {}};
}

ThreadPool::~ThreadPool() {
    if (state_->inline_only) return;
    state_->wake_all_to_stop();
    state_->wait_until_no_worker_lives();
}

std::size_t ThreadPool::size() const noexcept { return state_->inline_only ? 1 : state_->workers.size(); }

void ThreadPool::install(TaskRef task) { pool_detail::install_on(*state_, task, 1); }

void ThreadPool::wake_one_sleeper() { state_->wake_some(1); }

void ThreadPool::install_pair(TaskRef first, TaskRef second) {
    const auto pair = [&] { join_tasks(first, second); };
    pool_detail::install_on(*state_, TaskRef(pair), 2);
}

// --- The process-wide pool -------------------------------------------------------------

ThreadPool& OncePool::get() {
    if (ThreadPool* pool = pool_.load(std::memory_order_acquire)) return *pool;
    {
        // Concurrent first uses wait here for the one creation.
        std::lock_guard<std::mutex> hold(lock_);
        if (!std::exchange(attempted_, true)) create_once();
        if (ThreadPool* pool = pool_.load(std::memory_order_acquire)) return *pool;
    }
    // Frozen: see docs/compatibility.md.
    raise_fault(std::string(pool_not_initialised) + ": " + failure_);
}

void OncePool::forget_after_fork() noexcept {
    // The lock may have been copied in a locked state; nobody else is left to release it.
    new (&lock_) std::mutex();
    attempted_ = false;
    pool_.store(nullptr, std::memory_order_relaxed);  // the parent's pool is left behind, unused
    failure_.clear();
}

bool OncePool::started() const noexcept { return pool_.load(std::memory_order_acquire) != nullptr; }

void OncePool::create_once() {
    ThreadPool::Created created = ThreadPool::create(size_(), starter_);
    if (created.pool) {
        pool_.store(created.pool.release(), std::memory_order_release);  // kept for the life of the process
    } else {
        failure_ = std::move(created.failure);
    }
}

namespace {

std::size_t size_from_environment() {
    // Frozen: see docs/compatibility.md.
    return pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), online_processors());
}

OncePool& global_once() {
    static OncePool once(size_from_environment, start_detached_thread);
    // A child forked after the pool started would otherwise hand its pairs to workers that
    // exist only in the parent and wait forever.
    static const int fork_handler = ::pthread_atfork(nullptr, nullptr, [] { global_once().forget_after_fork(); });
    static_cast<void>(fork_handler);
    return once;
}

}  // namespace

ThreadPool& global_pool() { return global_once().get(); }
bool pool_started() noexcept { return global_once().started(); }

// Here rather than with the rest of join (pool/join.cpp): from outside the pool the pair
// goes to the process-wide pool, which only this unit knows.
void join_tasks(TaskRef first, TaskRef second) {
    if (pool_detail::join_within_pool(first, second)) return;
    // The pair travels as one job; on the worker that takes it, this call runs again and
    // takes the worker branch of join_within_pool.
    global_pool().install_pair(first, second);
}

void wake_ahead() {
    if (pool_detail::wake_ahead_within_pool() || !pool_started()) return;
    global_pool().wake_one_sleeper();
}

}  // namespace vexo
