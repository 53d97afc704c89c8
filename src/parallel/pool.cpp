// The worker pool: per-worker job deques with stealing, a shared queue for jobs from
// threads outside the pool, and sleep/wake-up of idle workers. All of the pool's
// synchronisation lives in this unit; the sorts only ever call `join`.
//
// Scheduling in brief. A worker that joins pushes the second task on the back of its own
// deque and runs the first; afterwards it pops the back again. Joins nest strictly (each
// removes its own job before returning), so the back is its job unless a thief took it
// from the front. Thieves take the oldest, largest jobs, which keeps steals rare. A worker
// that finds nothing yields a few times and then sleeps on the pool's condition variable;
// every push and every finished stolen job bumps `epoch`, which is what sleepers wait on.
#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

// Scheduling constants, each with its reason.
// Rounds of sched_yield an idle thread makes before it sleeps: enough to catch the next
// task of a running sort without a sleep/wake-up round trip, few enough that an idle pool
// goes quiet within microseconds.
constexpr int idle_yield_rounds = 32;
// First capacity of a worker's deque; nested joins rarely go deeper than this.
constexpr std::size_t initial_deque_capacity = 64;

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

}  // namespace

class Worker;

class ThreadPool::State {
public:
    std::vector<std::unique_ptr<Worker>> workers;  // fixed once the pool runs
    bool inline_only = false;                      // threads unsupported: tasks run on the caller

    // Jobs handed in by threads outside the pool, oldest first.
    std::mutex inject_lock;
    std::deque<Job*, Allocator<Job*>> injected;  // guarded by inject_lock

    // Sleep and wake-up. `epoch` changes whenever work may have appeared or a stolen job
    // finished; a sleeper goes to sleep only if it has not changed since it last looked.
    std::mutex sleep_lock;
    std::condition_variable wake;
    std::atomic<std::uint64_t> epoch{0};
    std::atomic<std::size_t> sleepers{0};
    bool stopping = false;  // guarded by sleep_lock; set only for private pools at shutdown

    // Start and shutdown of the workers.
    enum class Phase { starting, running, abandoned };
    std::mutex life_lock;
    std::condition_variable life_changed;
    Phase phase = Phase::starting;  // guarded by life_lock
    std::size_t live = 0;           // workers started and not yet exited; guarded by life_lock

    void signal() {
        // seq_cst pairs with the sleeper's increment of `sleepers` followed by its read of
        // `epoch`: either this thread sees the sleeper, or the sleeper sees the new epoch.
        epoch.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) != 0) {
            std::lock_guard<std::mutex> hold(sleep_lock);
            wake.notify_all();
        }
    }

    // Sleeps until `epoch` moves on from `seen`, `done` becomes true or the pool stops.
    // Returns false if the pool is stopping.
    bool sleep(std::uint64_t seen, const std::atomic<bool>* done) {
        std::unique_lock<std::mutex> hold(sleep_lock);
        sleepers.fetch_add(1, std::memory_order_seq_cst);
        while (!stopping && epoch.load(std::memory_order_seq_cst) == seen && !(done != nullptr && done->load(std::memory_order_seq_cst))) {
            wake.wait(hold);
        }
        sleepers.fetch_sub(1, std::memory_order_seq_cst);
        return !stopping;
    }

    Job* take_injected() {
        std::lock_guard<std::mutex> hold(inject_lock);
        if (injected.empty()) return nullptr;
        Job* job = injected.front();
        injected.pop_front();
        return job;
    }

    void wait_until_no_worker_lives() {
        std::unique_lock<std::mutex> hold(life_lock);
        life_changed.wait(hold, [this] { return live == 0; });
    }
};

class Worker {
public:
    Worker(ThreadPool::State& owner, std::size_t position) : pool(owner), index(position) {}

    ThreadPool::State& pool;
    const std::size_t index;

    void push(Job* job) {
        std::lock_guard<std::mutex> hold(lock_);
        jobs_.push_back(job);
    }
    // Removes `job` if it is still at the back, i.e. nobody stole it.
    bool take_back(Job* job) {
        std::lock_guard<std::mutex> hold(lock_);
        if (jobs_.empty() || jobs_.back() != job) return false;
        jobs_.pop_back();
        return true;
    }
    Job* pop() {
        std::lock_guard<std::mutex> hold(lock_);
        return jobs_.empty() ? nullptr : jobs_.pop_back();
    }
    Job* steal() {
        std::lock_guard<std::mutex> hold(lock_);
        return jobs_.empty() ? nullptr : jobs_.pop_front();
    }

private:
    std::mutex lock_;
    JobRing jobs_;  // guarded by lock_
};

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
    OfferedJob(TaskRef work, ThreadPool::State& owner) noexcept : task(work), pool(&owner) {}

    void execute() noexcept override {
        fault = run_capturing(task);
        ThreadPool::State& owner = *pool;  // *this may be gone once `done` is set
        done.store(true, std::memory_order_seq_cst);
        owner.signal();
    }

    TaskRef task;
    ThreadPool::State* pool;
    std::exception_ptr fault;  // written before `done`, read after it
    std::atomic<bool> done{false};
};

// A job from a thread outside the pool, which sleeps on the job's own lock until it is done.
struct OutsideJob final : Job {
    explicit OutsideJob(TaskRef work) noexcept : task(work) {}

    void execute() noexcept override {
        fault = run_capturing(task);
        // Notifying under the lock keeps the waiter (and with it this job) alive until the
        // lock is released, which is the last touch.
        std::lock_guard<std::mutex> hold(lock);
        done = true;
        finished.notify_one();
    }

    void wait() {
        std::unique_lock<std::mutex> hold(lock);
        finished.wait(hold, [this] { return done; });
    }

    TaskRef task;
    std::exception_ptr fault;
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;  // guarded by lock
};

Job* find_work(Worker& self, bool include_injected) {
    if (Job* job = self.pop()) return job;
    const std::vector<std::unique_ptr<Worker>>& workers = self.pool.workers;
    const std::size_t count = workers.size();
    for (std::size_t k = 1; k < count; ++k) {
        if (Job* job = workers[(self.index + k) % count]->steal()) return job;
    }
    return include_injected ? self.pool.take_injected() : nullptr;
}

// Looks for work for a while, yielding between attempts, unless `done` turns true.
Job* find_work_patiently(Worker& self, bool include_injected, const std::atomic<bool>* done) {
    for (int round = 0; round < idle_yield_rounds; ++round) {
        if (Job* job = find_work(self, include_injected)) return job;
        if (done != nullptr && done->load(std::memory_order_acquire)) return nullptr;
        ::sched_yield();
    }
    return nullptr;
}

void run_worker(Worker& self) {
    ThreadPool::State& pool = self.pool;
    for (;;) {
        // Read before looking, so that work pushed after the look is seen by sleep().
        const std::uint64_t seen = pool.epoch.load(std::memory_order_seq_cst);
        if (Job* job = find_work_patiently(self, true, nullptr)) {
            job->execute();
            continue;
        }
        if (!pool.sleep(seen, nullptr)) return;
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

// Waits for a stolen job, running other workers' jobs meanwhile. Jobs from outside are
// left to idle workers so that this join is not held up by an unrelated sort.
void wait_for(Worker& self, OfferedJob& job) {
    while (!job.done.load(std::memory_order_acquire)) {
        const std::uint64_t seen = self.pool.epoch.load(std::memory_order_seq_cst);
        if (Job* other = find_work_patiently(self, false, &job.done)) {
            other->execute();
            continue;
        }
        self.pool.sleep(seen, &job.done);
    }
}

void join_on_worker(Worker& self, TaskRef first, TaskRef second) {
    OfferedJob offered(second, self.pool);
    self.push(&offered);
    self.pool.signal();

    const std::exception_ptr first_fault = run_capturing(first);
    std::exception_ptr second_fault;
    if (self.take_back(&offered)) {
        second_fault = run_capturing(second);
    } else {
        wait_for(self, offered);
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

void run_outside(ThreadPool::State& pool, TaskRef task) {
    OutsideJob job(task);
    {
        std::lock_guard<std::mutex> hold(pool.inject_lock);
        pool.injected.push_back(&job);
    }
    pool.signal();
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
    {
        std::lock_guard<std::mutex> hold(state_->sleep_lock);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    state_->wait_until_no_worker_lives();
}

std::size_t ThreadPool::size() const noexcept { return state_->inline_only ? 1 : state_->workers.size(); }

void ThreadPool::install(TaskRef task) {
    if (current_worker != nullptr && &current_worker->pool == state_.get()) {
        task();
    } else if (state_->inline_only) {
        const bool was_inline = std::exchange(running_inline, true);
        const std::exception_ptr fault = run_capturing(task);
        running_inline = was_inline;
        if (fault) std::rethrow_exception(fault);
    } else {
        run_outside(*state_, task);
    }
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
    global_pool().install([&] { join_tasks(first, second); });
}

}  // namespace vexo
