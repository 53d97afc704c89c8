// The pool's queues: a job, each worker's ring of offered jobs, and the lock-guarded queue
// that both a worker's ring and the shared queue for jobs from outside the pool sit in.
//
// Scheduling in brief. A worker that joins pushes the second task on the back of its own
// deque and runs the first; afterwards it pops the back again. Joins nest strictly (each
// removes its own job before returning), so the back is its job unless a thief took it
// from the front. Thieves take the oldest, largest jobs, which keeps steals rare.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

#include "core/scratch.hpp"

namespace vexo::pool_detail {

// Scheduling constants, each with its reason.
// First capacity of a worker's deque; nested joins rarely go deeper than this.
inline constexpr std::size_t initial_deque_capacity = 64;

// A unit of work queued in the pool. Jobs live on the stack of the thread that waits for
// them; the executor must not touch a job after signalling that it has finished.
struct Job {
    virtual void execute() noexcept = 0;

protected:
    ~Job() = default;
};

// A worker's ring of jobs; its growth fails like every scratch allocation of the module.
using JobSlots = std::vector<Job*, Allocator<Job*>>;

// A growable ring of job pointers: push and pop at the back (the owner), pop at the front
// (thieves). Not synchronised itself; Worker guards it.
class JobRing {
public:
    JobRing() : slots_(initial_deque_capacity) {}

    bool empty() const noexcept { return count_ == 0; }
    std::size_t size() const noexcept { return count_; }
    Job* back() const noexcept { return slots_[(head_ + count_ - 1) & (slots_.size() - 1)]; }

    void push_back(Job* job) {
        if (count_ == slots_.size()) grow();
        slots_[(head_ + count_) & (slots_.size() - 1)] = job;
        ++count_;
    }
    Job* pop_back() noexcept {
        Job* job = back();
        --count_;
        return job;
    }
    Job* pop_front() noexcept {
        Job* job = slots_[head_];
        head_ = (head_ + 1) & (slots_.size() - 1);
        --count_;
        return job;
    }

private:
    void grow() {
        JobSlots larger(slots_.size() * 2);
        for (std::size_t i = 0; i < count_; ++i) larger[i] = slots_[(head_ + i) & (slots_.size() - 1)];
        slots_.swap(larger);
        head_ = 0;
    }

    JobSlots slots_;  // capacity is a power of two
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

// A queue under its own lock, with its length readable without the lock: idle threads
// look at the length only, so a busy owner's lock is not taken by every look.
template <class Queue>
class GuardedQueue {
public:
    // True when the queue may hold a job; a stale false is corrected by the exact look a
    // thread makes before it sleeps.
    bool maybe_nonempty() const noexcept { return length_.load(std::memory_order_relaxed) != 0; }

    // Runs `operation` on the queue under its lock and returns what it returns; the length
    // is published as the lock is released, whatever the operation did.
    template <class Change>
    decltype(auto) change(Change&& operation) {
        std::lock_guard<std::mutex> hold(lock_);
        const LengthOnExit publish{*this};
        return operation(queue_);
    }

private:
    // Destroyed before the lock guard declared ahead of it, so the store is under the lock.
    struct LengthOnExit {
        GuardedQueue& owner;
        ~LengthOnExit() { owner.length_.store(owner.queue_.size(), std::memory_order_relaxed); }
    };

    std::mutex lock_;
    Queue queue_;                         // guarded by lock_
    std::atomic<std::size_t> length_{0};  // queue_.size(), written under lock_
};

}  // namespace vexo::pool_detail
