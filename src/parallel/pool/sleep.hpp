// How the threads of the pool wait: a worker with nothing to do, and a thread outside the
// pool whose job a worker runs. Idling is after rayon's sleep module and oneTBB's waiters.
//
// THE WORKER'S SLEEP: spin, then look, then sleep on its own condition variable.
//
//   Spin and look (find_work_patiently). A worker that finds nothing polls the queues
//   with pause instructions for a few microseconds while a job from outside runs (the
//   next task of a running sort usually turns up within that), then yields the processor
//   between looks for a while longer (the next call of a program that sorts in a loop);
//   pool_tuning below says how long. These quick looks read each queue's length without its
//   lock (relaxed), so they may miss a job that has just been pushed: they only save a
//   sleep, and nothing relies on them.
//
//   Sleep (State::sleep_unless_work). The worker announces itself first: under
//   sleep_lock it puts itself in `idle` and stores the new count in `sleeping`. Then it
//   looks once more, exactly: every queue under its own lock. Then, under sleep_lock
//   again, it waits on its own condition variable `woken` unless that look found a job,
//   or a waker has taken it out of `idle` meanwhile, or the job it waits for has ended,
//   or the pool stops.
//
//   Wake (State::wake_some). Whoever makes work pushes it under the queue's lock first,
//   then loads `sleeping`; only if that is not 0 does it take sleep_lock, take sleepers
//   out of `idle` (the last to sleep first: their caches are the warmest) and notify each
//   one's own condition variable. A push costs one load when nobody sleeps, and a wake-up
//   goes to one worker by name rather than to a herd. One job, one wake-up: a woken
//   worker that offers more work wakes the next sleeper itself; a pair from outside
//   wakes two, since its second task is offered at once. A sort about to fork may also
//   wake one ahead of its work (wake_ahead, join.hpp), which pushes nothing: the worker
//   spins and looks as after any job, and sleeps again if none came. Nothing relies on
//   that wake-up; it only saves one.
//
//   Why no wake-up is lost. The sleeper's announcement comes before its exact look, and
//   the producer's push before its load of `sleeping`. Take the queue the job went to:
//   its lock orders the sleeper's look of it and the producer's push. If the push came
//   first, the exact look finds the job. If the look came first, the announcement
//   happens before the push (announcement, look's unlock, push's lock), so the load sees
//   a count that includes the sleeper, or a later one: and a later count leaves the
//   sleeper out only once it was taken out of `idle`, that is woken or awake already.
//   Taking a sleeper out of `idle` and testing whether one was taken out both happen
//   under sleep_lock, and the sleeper waits on its condition variable with that test as
//   the predicate under that lock, so a notify cannot fall between its test and its
//   wait. The guarantee is that a job is never left queued while every worker sleeps:
//   the worker woken may be one that found other work in its exact look, and it comes
//   back for this job when that is done. `sleeping` is stored and loaded seq_cst; the
//   locks above already order the two sides, and the load, the one on the producer's
//   fast path, is a plain load on x86 all the same.
//
//   A joiner whose second task was stolen waits the same way (wait_for in join.cpp),
//   with its job's `done` as one more reason to stop: it runs other work meanwhile, so
//   it must be wakeable by new work like any sleeper. The thief stores `done` (release)
//   and then wakes that one worker by name (State::wake); the joiner tests `done`
//   (acquire) under sleep_lock before it announces itself and in its predicate, so the
//   store is seen either there or by the wake, which finds it in `idle`. The thief reads
//   the joiner's address before the store: once `done` is set the job's frame may be
//   gone, the worker never is. The fault that the thief captured is written before
//   `done` and read after it.
//
// THE OUTSIDE CALLER'S SLEEP: a bare futex word per job (DoneWord).
//
//   The caller queues its job, wakes workers as above, then sleeps while the job's word
//   reads 0. The worker that ran the job writes what the caller reads (the fault) first,
//   then stores 1 (release) and wakes the one thread asleep on the word. The caller
//   loads the word (acquire) before every sleep and after every return from one, so it
//   sees the worker's writes once it sees 1. FUTEX_WAIT sleeps only if the word still
//   holds 0 when the kernel looks, and the kernel's look and FUTEX_WAKE are ordered by
//   the kernel's own lock for that address: either the caller's look sees 1, or the
//   caller is asleep before the wake, which then wakes it. A spurious return or a signal
//   only makes the caller load the word again.
//
//   Why not a condition variable: see DoneWord.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace vexo {

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

namespace pool_detail {

struct Job;
class Worker;

// Looks for work until the idle time runs out or `done` turns true: spinning with pauses
// first while a sort from outside runs, then yielding between looks. Null if it found
// nothing.
Job* find_work_patiently(Worker& self, const std::atomic<bool>* done);

// Sleeps while *word holds `expected` (returning at once if it no longer does, or on a
// spurious wake-up or a signal: callers look again).
void futex_wait_while(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept;

// Wakes one thread asleep on `word`. Safe when the word's memory is gone already: only its
// address is used, and a later sleeper on the same address looks again when woken.
void futex_wake_one(std::atomic<std::uint32_t>* word) noexcept;

// The word a thread outside the pool sleeps on until a worker has run its job. A bare
// futex rather than a condition variable: the worker's last touch of the job is the store
// that ends it, and the wake-up names the word's address alone, which the kernel does not
// read, so the worker never holds a lock that the woken caller then has to wait for (with
// a mutex, a caller woken onto a busy processor first blocks on the lock the notifier
// still holds, and the hand-back takes two round trips).
class DoneWord {
public:
    // The worker's last touch of the job: whatever it wrote before is seen by the caller.
    void set() noexcept {
        std::atomic<std::uint32_t>* const word = &done_;  // *this may be gone once it is set
        word->store(1, std::memory_order_release);
        futex_wake_one(word);
    }

    // The caller's sleep, until set() has been called.
    void wait() noexcept {
        while (done_.load(std::memory_order_acquire) == 0) futex_wait_while(&done_, 0);
    }

private:
    std::atomic<std::uint32_t> done_{0};  // the futex word: 1 once the job has run
};

}  // namespace pool_detail
}  // namespace vexo
