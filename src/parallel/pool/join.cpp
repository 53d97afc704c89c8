// Joins on a worker and from outside the pool, the jobs they queue, and the workers' lives.
#include "parallel/pool/join.hpp"

#include <atomic>
#include <exception>
#include <mutex>
#include <utility>

#include "parallel/pool/probe.hpp"
#include "parallel/pool/queues.hpp"
#include "parallel/pool/sleep.hpp"
#include "parallel/pool/state.hpp"

namespace vexo {
namespace pool_detail {
namespace {

// The worker the current thread is, if any.
thread_local Worker* current_worker = nullptr;
// Set while a pool without threads runs a task on the calling thread, so that joins made
// by that task also run inline.
thread_local bool running_inline = false;

// Runs `task` and hands back the fault it raised, if any, for the waiting thread to raise.
std::exception_ptr run_capturing(TaskRef task) noexcept {
    try {
        task();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// The second task of a pair, offered to thieves on its owner's deque.
struct OfferedJob final : Job {
    OfferedJob(TaskRef work, Worker& offerer) noexcept : task(work), owner(&offerer) {}

    void execute() noexcept override {
        fault = run_capturing(task);
        Worker& waiting = *owner;  // *this may be gone once `done` is set
        done.store(true, std::memory_order_release);
        waiting.pool.wake(waiting);
        pool_stamp(PoolStage::stolen_completed);
    }

    TaskRef task;
    Worker* owner;
    std::exception_ptr fault;  // written before `done`, read after it
    std::atomic<bool> done{false};
};

// A job from a thread outside the pool, which sleeps on the job's own futex word until it
// is done (DoneWord says why a futex).
struct OutsideJob final : Job {
    OutsideJob(TaskRef work, State& owner) noexcept : task(work), pool(&owner) {
        pool->outside_in_flight.fetch_add(1, std::memory_order_relaxed);
    }

    void execute() noexcept override {
        fault = run_capturing(task);
        pool->outside_in_flight.fetch_sub(1, std::memory_order_relaxed);
        done.set();  // *this may be gone once it is set
        pool_stamp(PoolStage::outside_completed);
    }

    void wait() {
        done.wait();
        pool_stamp(PoolStage::caller_woke);
    }

    TaskRef task;
    State* pool;
    std::exception_ptr fault;  // written before `done`, read after it
    DoneWord done;
};

// Waits for a stolen job, running other work meanwhile: other workers' offers, and jobs
// from outside too, since an idle worker that a new job woke must take whatever it finds
// (the wake-up was meant for that job). The thief wakes this worker when the job ends.
void wait_for(Worker& self, OfferedJob& job) {
    while (!job.done.load(std::memory_order_acquire)) {
        Job* other = find_work_patiently(self, &job.done);
        if (other == nullptr) other = self.pool.sleep_unless_work(self, &job.done);
        if (other != nullptr) other->execute();
    }
}

void join_on_worker(Worker& self, TaskRef first, TaskRef second) {
    OfferedJob offered(second, self);
    self.push(&offered);
    pool_stamp(PoolStage::offered);
    self.pool.wake_some(1);

    const std::exception_ptr first_fault = run_capturing(first);
    std::exception_ptr second_fault;
    if (self.take_back(&offered)) {
        second_fault = run_capturing(second);
    } else {
        wait_for(self, offered);
        pool_stamp(PoolStage::joiner_resumed);
        second_fault = offered.fault;
    }
    // Rethrowing the captured fault, not raising a new one: it was reported where it arose.
    if (first_fault) std::rethrow_exception(first_fault);
    if (second_fault) std::rethrow_exception(second_fault);
}

void join_inline(TaskRef first, TaskRef second) {
    const std::exception_ptr first_fault = run_capturing(first);
    const std::exception_ptr second_fault = run_capturing(second);  // runs even if the first faulted, as on a real pool
    if (first_fault) std::rethrow_exception(first_fault);
    if (second_fault) std::rethrow_exception(second_fault);
}

// Hands `task` to the pool and sleeps until a worker has run it. `wake` sleepers are woken
// for it: a pair from outside wakes two at once, since the worker that takes it offers
// the second task straight away; the second wake-up then overlaps the first instead of
// following it.
void run_outside(State& pool, TaskRef task, std::size_t wake) {
    OutsideJob job(task, pool);
    pool.injected.change([&job](auto& queue) { queue.push_back(&job); });
    pool_stamp(PoolStage::outside_pushed);
    pool.wake_some(wake);
    pool_stamp(PoolStage::outside_signalled);
    job.wait();
    if (job.fault) std::rethrow_exception(job.fault);
}

void run_worker(Worker& self) {
    State& pool = self.pool;
    while (!pool.stopping.load(std::memory_order_acquire)) {
        Job* job = find_work_patiently(self, nullptr);
        if (job == nullptr) job = pool.sleep_unless_work(self, nullptr);
        if (job != nullptr) job->execute();
    }
}

}  // namespace

bool wake_ahead_within_pool() {
    if (Worker* self = current_worker) {
        self->pool.wake_some(1);
        return true;
    }
    return running_inline;
}

bool join_within_pool(TaskRef first, TaskRef second) {
    if (Worker* self = current_worker) {
        join_on_worker(*self, first, second);
        return true;
    }
    if (running_inline) {
        join_inline(first, second);
        return true;
    }
    return false;
}

void install_on(State& pool, TaskRef task, std::size_t wake) {
    if (current_worker != nullptr && &current_worker->pool == &pool) {
        task();
    } else if (pool.inline_only) {
        const bool was_inline = std::exchange(running_inline, true);
        const std::exception_ptr fault = run_capturing(task);
        running_inline = was_inline;
        if (fault) std::rethrow_exception(fault);
    } else {
        run_outside(pool, task, wake);
    }
}

void* worker_entry(void* argument) {
    Worker& self = *static_cast<Worker*>(argument);
    State& pool = self.pool;
    bool abandoned;
    {
        std::unique_lock<std::mutex> hold(pool.life_lock);
        pool.life_changed.wait(hold, [&pool] { return pool.phase != State::Phase::starting; });
        abandoned = pool.phase == State::Phase::abandoned;
    }
    if (!abandoned) {
        current_worker = &self;
        run_worker(self);
        current_worker = nullptr;
    }
    std::lock_guard<std::mutex> hold(pool.life_lock);
    --pool.live;
    pool.life_changed.notify_all();  // under the lock: the pool may be freed right after
    return nullptr;
}

}  // namespace pool_detail

bool on_worker_thread() noexcept { return pool_detail::current_worker != nullptr; }

}  // namespace vexo
