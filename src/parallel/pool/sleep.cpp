// Sleep and wake-up of the pool's threads; sleep.hpp writes the protocol down.
#include "parallel/pool/sleep.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <sched.h>
#include <unistd.h>

#include <memory>
#include <mutex>

#include "parallel/pool/probe.hpp"
#include "parallel/pool/state.hpp"
#include "parallel/pool/steal.hpp"

namespace vexo::pool_detail {

namespace {

using IdleClock = std::chrono::steady_clock;

// Pause instructions between two looks of the spin: a look locks nothing when the queues
// are empty, but reads cache lines other threads write.
constexpr int pauses_per_look = 16;

// Tells the processor this is a spin-wait loop: on x86 the pause instruction saves power
// and frees the core's resources for its sibling thread.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace

void futex_wait_while(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake_one(std::atomic<std::uint32_t>* word) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void State::enter_idle(Worker& worker) {
    worker.idle_slot = idle.size();
    idle.push_back(&worker);
    sleeping.store(idle.size(), std::memory_order_seq_cst);
}

void State::leave_idle(Worker& worker) {
    Worker* last = idle.back();
    idle[worker.idle_slot] = last;
    last->idle_slot = worker.idle_slot;
    idle.pop_back();
    worker.idle_slot = Worker::not_idle;
    sleeping.store(idle.size(), std::memory_order_seq_cst);
}

void State::wake_some(std::size_t count) {
    if (sleeping.load(std::memory_order_seq_cst) == 0) return;
    std::lock_guard<std::mutex> hold(sleep_lock);
    for (; count > 0 && !idle.empty(); --count) {
        Worker& chosen = *idle.back();
        leave_idle(chosen);
        chosen.woken.notify_one();
    }
}

void State::wake(Worker& worker) {
    std::lock_guard<std::mutex> hold(sleep_lock);
    if (worker.idle_slot == Worker::not_idle) return;  // awake: it looks at its job itself
    leave_idle(worker);
    worker.woken.notify_one();
}

void State::wake_all_to_stop() {
    std::lock_guard<std::mutex> hold(sleep_lock);
    stopping.store(true, std::memory_order_release);
    for (const std::unique_ptr<Worker>& worker : workers) worker->woken.notify_one();
}

Job* find_work_patiently(Worker& self, const std::atomic<bool>* done) {
    const IdleClock::time_point start = IdleClock::now();
    for (;;) {
        if (Job* job = find_work(self, false)) return job;
        if (done != nullptr && done->load(std::memory_order_acquire)) return nullptr;
        const IdleClock::duration waited = IdleClock::now() - start;
        if (waited >= pool_tuning::idle_look_time) return nullptr;
        if (waited < pool_tuning::idle_spin_time && self.pool.outside_in_flight.load(std::memory_order_relaxed) != 0) {
            for (int pause = 0; pause < pauses_per_look; ++pause) cpu_relax();
        } else {
            ::sched_yield();
        }
    }
}

Job* State::sleep_unless_work(Worker& self, const std::atomic<bool>* done) {
    const auto finished = [done] { return done != nullptr && done->load(std::memory_order_acquire); };
    {
        std::lock_guard<std::mutex> hold(sleep_lock);
        if (stopping.load(std::memory_order_relaxed) || finished()) return nullptr;
        enter_idle(self);
    }
    Job* job = find_work(self, true);
    std::unique_lock<std::mutex> hold(sleep_lock);
    const auto ready = [&] { return self.idle_slot == Worker::not_idle || stopping.load(std::memory_order_relaxed) || finished(); };
    if (job == nullptr && !ready()) {
        self.woken.wait(hold, ready);
        pool_stamp(PoolStage::worker_woke);
    }
    if (self.idle_slot != Worker::not_idle) leave_idle(self);
    return job;
}

}  // namespace vexo::pool_detail
