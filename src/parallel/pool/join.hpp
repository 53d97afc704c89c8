// `join`, the pool's one operation for the sorts: run two tasks, possibly at the same
// time, and return when both have finished. Below it, what the registry (parallel/pool.cpp)
// builds a pool's joins and its workers' lives from.
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <type_traits>

namespace vexo {

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

// Whether the calling thread is a worker of some pool.
bool on_worker_thread() noexcept;

// Runs `first` and `second`, perhaps in parallel, and returns when both have finished.
// On a worker: `second` is offered to the other workers, `first` runs here, and `second`
// is taken back if nobody took it. Outside the pool: the pair is handed to the global pool
// as one job and the caller sleeps until it is done. A fault of either task is raised
// again here once both have stopped (the first task's fault wins if both fault); it was
// reported on the thread where it arose and is not reported again. Defined with the
// registry in parallel/pool.cpp, the one unit that knows the global pool; everything it
// does on a worker is join_within_pool below.
void join_tasks(TaskRef first, TaskRef second);

template <class A, class B>
void join(A&& first, B&& second) {
    join_tasks(TaskRef(first), TaskRef(second));
}

// Wakes one sleeping worker of the pool that this thread's next join would hand work to:
// its own pool on a worker, the global pool outside it (only once that pool exists: this
// never creates it). A sort that will fork calls it first, so that the worker's wake-up
// overlaps the sort's first partition instead of following it; the woken worker looks
// for work for pool_tuning::idle_look_time before it sleeps again. Defined with
// join_tasks, and for the same reason.
void wake_ahead();

namespace pool_detail {

class State;

// Runs the pair as join_tasks does on a worker of a pool (or while a pool without threads
// runs a task on the calling thread) and says true; says false, running nothing, on any
// other thread.
bool join_within_pool(TaskRef first, TaskRef second);

// wake_ahead() on a worker of a pool (or while a pool without threads runs a task on the
// calling thread, where there is nobody to wake) and says true; false on any other thread.
bool wake_ahead_within_pool();

// ThreadPool::install() and install_pair(): runs `task` on `pool`, waking `wake` sleepers
// for it when it is handed in from outside.
void install_on(State& pool, TaskRef task, std::size_t wake);

// A worker thread's whole life, given its Worker: it waits until the pool has started
// all its workers (or abandoned them), then runs jobs until the pool stops.
void* worker_entry(void* argument);

}  // namespace pool_detail
}  // namespace vexo
