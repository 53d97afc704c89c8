// What the pool and each of its workers hold, every shared field with the lock or atomic
// that guards it. The operations live by concern: the looks for work in steal.cpp, sleep
// and wake-up in sleep.cpp (whose header writes the protocol down), joins and the workers'
// lives in join.cpp, start and shutdown in parallel/pool.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "core/scratch.hpp"
#include "parallel/pool/queues.hpp"

namespace vexo::pool_detail {

class Worker;

class State {
public:
    std::vector<std::unique_ptr<Worker>> workers;  // fixed once the pool runs
    bool inline_only = false;                      // threads unsupported: tasks run on the caller

    // Jobs handed in by threads outside the pool, oldest first.
    GuardedQueue<std::deque<Job*, Allocator<Job*>>> injected;
    // Jobs from outside handed in and not yet done: while one is, a sort is running and its
    // next task is worth spinning for; once none is, the thread that handed the last one in
    // is about to wake, and idle workers yield so that it gets a processor at once rather
    // than after a reschedule interrupt (costly in a virtual machine). A hint, never used
    // for correctness.
    std::atomic<std::size_t> outside_in_flight{0};

    // Sleep and wake-up: the workers asleep, each on its own condition variable (waiting on
    // sleep_lock), and their number for a look without the lock. A thread announces itself
    // in `idle` before its last look for work, and whoever makes work reads `sleeping`
    // after queueing it: whichever comes second sees the other (both queue and sleep
    // bookkeeping are under locks), so no job is left while everybody sleeps.
    std::mutex sleep_lock;
    std::vector<Worker*, Allocator<Worker*>> idle;  // guarded by sleep_lock
    std::atomic<std::size_t> sleeping{0};           // idle.size(), written under sleep_lock
    std::atomic<bool> stopping{false};              // written under sleep_lock; set only for private pools at shutdown

    // Start and shutdown of the workers.
    enum class Phase { starting, running, abandoned };
    std::mutex life_lock;
    std::condition_variable life_changed;
    Phase phase = Phase::starting;  // guarded by life_lock
    std::size_t live = 0;           // workers started and not yet exited; guarded by life_lock

    // After new work was queued: wakes up to `count` workers, those that went to sleep
    // last first (their caches are the warmest), if any sleeps. One job, one wake-up: a
    // woken worker that makes more work wakes the next sleeper itself.
    void wake_some(std::size_t count);
    // Wakes `worker` if it sleeps: the end of the job it waits for.
    void wake(Worker& worker);
    void wake_all_to_stop();

    // The slow path of an idle thread: announced in `idle`, it looks once more (exactly,
    // under every queue's lock) and sleeps unless that finds work, until it is woken, `done`
    // becomes true or the pool stops. The job found, or null.
    Job* sleep_unless_work(Worker& self, const std::atomic<bool>* done);

    void wait_until_no_worker_lives() {
        std::unique_lock<std::mutex> hold(life_lock);
        life_changed.wait(hold, [this] { return live == 0; });
    }

private:
    void enter_idle(Worker& worker);  // under sleep_lock
    void leave_idle(Worker& worker);  // under sleep_lock; worker must be in idle
};

class Worker {
public:
    Worker(State& owner, std::size_t position) : pool(owner), index(position) {}

    State& pool;
    const std::size_t index;

    // Where this worker is in pool.idle, or not_idle; guarded by pool.sleep_lock.
    static constexpr std::size_t not_idle = static_cast<std::size_t>(-1);
    std::size_t idle_slot = not_idle;
    std::condition_variable woken;  // waits on pool.sleep_lock

    void push(Job* job) {
        jobs_.change([job](JobRing& ring) { ring.push_back(job); });
    }
    // Removes `job` if it is still at the back, i.e. nobody stole it.
    bool take_back(Job* job) {
        return jobs_.change([job](JobRing& ring) {
            if (ring.empty() || ring.back() != job) return false;
            ring.pop_back();
            return true;
        });
    }
    Job* pop() {
        return jobs_.change([](JobRing& ring) { return ring.empty() ? nullptr : ring.pop_back(); });
    }
    Job* steal() {
        return jobs_.change([](JobRing& ring) { return ring.empty() ? nullptr : ring.pop_front(); });
    }
    bool maybe_has_jobs() const noexcept { return jobs_.maybe_nonempty(); }

private:
    GuardedQueue<JobRing> jobs_;
};

}  // namespace vexo::pool_detail
