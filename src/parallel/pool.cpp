// The worker pool: per-worker job deques with stealing, a shared queue for jobs from
// threads outside the pool, and sleep/wake-up of idle workers. All of the pool's
// synchronisation lives in this unit; the sorts only ever call `join`.
//
// Scheduling in brief. A worker that joins pushes the second task on the back of its own
// deque and runs the first; afterwards it pops the back again. Joins nest strictly (each
// removes its own job before returning), so the back is its job unless a thief took it
// from the front. Thieves take the oldest, largest jobs, which keeps steals rare.
//
// Idling, after rayon's sleep module and oneTBB's waiters. A thread that finds nothing
// polls the queues with pause instructions for a few microseconds while a job from outside
// runs (the next task of a running sort usually turns up within that), then yields the
// processor between looks for a while longer (the next call of a program that sorts in a
// loop), then sleeps on its own condition variable. Whoever makes work wakes one sleeper,
// by name, and only if somebody sleeps at all, so a push costs a load when no worker
// sleeps; a joiner whose stolen job ends is woken by the thief that ran it.
#include "parallel/pool.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include "core/fault.hpp"
#include "core/scratch.hpp"
#include "parallel/pool_probe.hpp"

namespace vexo {

// --- Pool size -------------------------------------------------------------------------

std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t pool_size_from(const char* num_threads, const char* rs_num_cpus, std::size_t online) noexcept {
    const std::uint64_t fallback = online == 0 ? 1 : online;
    std::uint64_t size = fallback;
    const std::optional<std::uint64_t> primary = num_threads != nullptr ? parse_thread_count(num_threads) : std::nullopt;
    if (primary) {
        // An explicit 0 asks for the default and settles the question: the second
        // variable is not consulted.
        size = *primary >= 1 ? *primary : fallback;
    } else if (const std::optional<std::uint64_t> secondary = rs_num_cpus != nullptr ? parse_thread_count(rs_num_cpus) : std::nullopt;
               secondary && *secondary >= 1) {
        size = *secondary;
    }
    return static_cast<std::size_t>(std::min(size, pool_limits::max_workers));
}

std::size_t online_processors() noexcept {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 0;
}

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

// --- Jobs and deques -------------------------------------------------------------------

namespace {

using IdleClock = std::chrono::steady_clock;

// Scheduling constants, each with its reason.
// Pause instructions between two looks of the spin: a look locks nothing when the queues
// are empty, but reads cache lines other threads write.
constexpr int pauses_per_look = 16;
// First capacity of a worker's deque; nested joins rarely go deeper than this.
constexpr std::size_t initial_deque_capacity = 64;

// Tells the processor this is a spin-wait loop: on x86 the pause instruction saves power
// and frees the core's resources for its sibling thread.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Sleeps while *word holds `expected` (returning at once if it no longer does, or on a
// spurious wake-up or a signal: callers look again).
void futex_wait_while(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

// Wakes one thread asleep on `word`. Safe when the word's memory is gone already: only its
// address is used, and a later sleeper on the same address looks again when woken.
void futex_wake_one(std::atomic<std::uint32_t>* word) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

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

}  // namespace

class Worker;

class ThreadPool::State {
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
    Worker(ThreadPool::State& owner, std::size_t position) : pool(owner), index(position) {}

    ThreadPool::State& pool;
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

void ThreadPool::State::enter_idle(Worker& worker) {
    worker.idle_slot = idle.size();
    idle.push_back(&worker);
    sleeping.store(idle.size(), std::memory_order_seq_cst);
}

void ThreadPool::State::leave_idle(Worker& worker) {
    Worker* last = idle.back();
    idle[worker.idle_slot] = last;
    last->idle_slot = worker.idle_slot;
    idle.pop_back();
    worker.idle_slot = Worker::not_idle;
    sleeping.store(idle.size(), std::memory_order_seq_cst);
}

void ThreadPool::State::wake_some(std::size_t count) {
    if (sleeping.load(std::memory_order_seq_cst) == 0) return;
    std::lock_guard<std::mutex> hold(sleep_lock);
    for (; count > 0 && !idle.empty(); --count) {
        Worker& chosen = *idle.back();
        leave_idle(chosen);
        chosen.woken.notify_one();
    }
}

void ThreadPool::State::wake(Worker& worker) {
    std::lock_guard<std::mutex> hold(sleep_lock);
    if (worker.idle_slot == Worker::not_idle) return;  // awake: it looks at its job itself
    leave_idle(worker);
    worker.woken.notify_one();
}

void ThreadPool::State::wake_all_to_stop() {
    std::lock_guard<std::mutex> hold(sleep_lock);
    stopping.store(true, std::memory_order_release);
    for (const std::unique_ptr<Worker>& worker : workers) worker->woken.notify_one();
}

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
// is done. A bare futex rather than a condition variable: the worker's last touch of the
// job is the store that ends it, and the wake-up names the word's address alone, which
// the kernel does not read, so the worker never holds a lock that the woken caller then
// has to wait for (with a mutex, a caller woken onto a busy processor first blocks on the
// lock the notifier still holds, and the hand-back takes two round trips).
struct OutsideJob final : Job {
    OutsideJob(TaskRef work, ThreadPool::State& owner) noexcept : task(work), pool(&owner) {
        pool->outside_in_flight.fetch_add(1, std::memory_order_relaxed);
    }

    void execute() noexcept override {
        fault = run_capturing(task);
        pool->outside_in_flight.fetch_sub(1, std::memory_order_relaxed);
        std::atomic<std::uint32_t>* const word = &done;  // *this may be gone once it is set
        word->store(1, std::memory_order_release);
        futex_wake_one(word);
        pool_stamp(PoolStage::outside_completed);
    }

    void wait() {
        while (done.load(std::memory_order_acquire) == 0) futex_wait_while(&done, 0);
        pool_stamp(PoolStage::caller_woke);
    }

    TaskRef task;
    ThreadPool::State* pool;
    std::exception_ptr fault;            // written before `done`, read after it
    std::atomic<std::uint32_t> done{0};  // the futex word: 1 once the task has run
};

Job* take_injected(ThreadPool::State& pool) {
    Job* job = pool.injected.change([](auto& queue) {
        Job* front = nullptr;
        if (!queue.empty()) {
            front = queue.front();
            queue.pop_front();
        }
        return front;
    });
    if (job != nullptr) pool_stamp(PoolStage::outside_taken);
    return job;
}

// One look for work: this worker's own deque (outer joins' offers, when it waits inside an
// inner one), then the other workers' from the next one on, then the shared queue. A quick
// look skips every queue whose length reads 0 and so takes no lock another thread holds;
// an exact one locks them all, which is what makes the look before a sleep reliable.
Job* find_work(Worker& self, bool exact) {
    if (exact || self.maybe_has_jobs()) {
        if (Job* job = self.pop()) return job;
    }
    const std::vector<std::unique_ptr<Worker>>& workers = self.pool.workers;
    const std::size_t count = workers.size();
    for (std::size_t k = 1; k < count; ++k) {
        Worker& victim = *workers[(self.index + k) % count];
        if (!exact && !victim.maybe_has_jobs()) continue;
        if (Job* job = victim.steal()) {
            pool_stamp(PoolStage::stolen);
            return job;
        }
    }
    return exact || self.pool.injected.maybe_nonempty() ? take_injected(self.pool) : nullptr;
}

// Looks for work until the idle time runs out or `done` turns true: spinning with pauses
// first while a sort from outside runs, then yielding between looks. Null if it found
// nothing.
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

}  // namespace

Job* ThreadPool::State::sleep_unless_work(Worker& self, const std::atomic<bool>* done) {
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

namespace {

void run_worker(Worker& self) {
    ThreadPool::State& pool = self.pool;
    while (!pool.stopping.load(std::memory_order_acquire)) {
        Job* job = find_work_patiently(self, nullptr);
        if (job == nullptr) job = pool.sleep_unless_work(self, nullptr);
        if (job != nullptr) job->execute();
    }
}

void* worker_entry(void* argument) {
    Worker& self = *static_cast<Worker*>(argument);
    ThreadPool::State& pool = self.pool;
    bool abandoned;
    {
        std::unique_lock<std::mutex> hold(pool.life_lock);
        pool.life_changed.wait(hold, [&pool] { return pool.phase != ThreadPool::State::Phase::starting; });
        abandoned = pool.phase == ThreadPool::State::Phase::abandoned;
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
void run_outside(ThreadPool::State& pool, TaskRef task, std::size_t wake) {
    OutsideJob job(task, pool);
    pool.injected.change([&job](auto& queue) { queue.push_back(&job); });
    pool_stamp(PoolStage::outside_pushed);
    pool.wake_some(wake);
    pool_stamp(PoolStage::outside_signalled);
    job.wait();
    if (job.fault) std::rethrow_exception(job.fault);
}

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
        const int error = starter(worker_entry, state->workers[i].get(), pool_limits::worker_stack_bytes);
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

namespace {

// install() and install_pair(): runs `task` on `pool`, waking `wake` sleepers for it when
// it is handed in from outside.
void install_on(ThreadPool::State& pool, TaskRef task, std::size_t wake) {
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

}  // namespace

void ThreadPool::install(TaskRef task) { install_on(*state_, task, 1); }

void ThreadPool::install_pair(TaskRef first, TaskRef second) {
    const auto pair = [&] { join_tasks(first, second); };
    install_on(*state_, TaskRef(pair), 2);
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
bool on_worker_thread() noexcept { return current_worker != nullptr; }

void join_tasks(TaskRef first, TaskRef second) {
    if (Worker* self = current_worker) {
        join_on_worker(*self, first, second);
        return;
    }
    if (running_inline) {
        join_inline(first, second);
        return;
    }
    // The pair travels as one job; on the worker that takes it, this call runs again and
    // takes the worker branch above.
    global_pool().install_pair(first, second);
}

}  // namespace vexo
