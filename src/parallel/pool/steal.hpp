// Where a thread of the pool finds work: its own deque, the other workers' (stealing) and
// the shared queue of jobs from outside.
#pragma once

#include "parallel/pool/queues.hpp"
#include "parallel/pool/state.hpp"

namespace vexo::pool_detail {

// The oldest job handed in from outside, or null.
Job* take_injected(State& pool);

// One look for work: this worker's own deque (outer joins' offers, when it waits inside an
// inner one), then the other workers' from the next one on, then the shared queue. A quick
// look skips every queue whose length reads 0 and so takes no lock another thread holds;
// an exact one locks them all, which is what makes the look before a sleep reliable.
Job* find_work(Worker& self, bool exact);

}  // namespace vexo::pool_detail
