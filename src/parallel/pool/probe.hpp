// Time stamps at the stages of a hand-in, for tools/profile-pool alone. The module and the
// tests are built without VEXO_POOL_PROFILE, where every stamp is an empty inline call that
// compiles away; the profiling program builds its own copy of the pool with it and defines
// pool_stamp itself.
#pragma once

namespace vexo {

// The stages of a job's life that the pool itself can see. The task's own start and end
// are stamped by whoever wrote the task.
enum class PoolStage : unsigned char {
    outside_pushed,     // a thread outside the pool has queued its job
    outside_signalled,  // ... and has woken a worker (or found none asleep); it sleeps next
    worker_woke,        // a worker returns from sleep
    outside_taken,      // a worker has taken the outside job from the shared queue
    outside_completed,  // the worker has told the outside thread its job is done
    caller_woke,        // the outside thread returns from its sleep
    offered,            // a worker has offered the second task of a pair (and signalled)
    stolen,             // another worker has taken it
    stolen_completed,   // ... run it, and told its owner
    joiner_resumed,     // the owner, which waited for it, goes on
    count
};

#if defined(VEXO_POOL_PROFILE)
void pool_stamp(PoolStage stage) noexcept;
#else
inline void pool_stamp(PoolStage) noexcept {}
#endif

}  // namespace vexo
