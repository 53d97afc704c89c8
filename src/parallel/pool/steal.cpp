// The looks for work (see steal.hpp).
#include "parallel/pool/steal.hpp"

#include <cstddef>
#include <memory>
#include <vector>

#include "parallel/pool/probe.hpp"

namespace vexo::pool_detail {

Job* take_injected(State& pool) {
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

}  // namespace vexo::pool_detail
