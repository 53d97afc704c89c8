#include "core/assert.hpp"

#include <cstdlib>
#include <string>

namespace vexo {

void contract_broken(const char* condition, FaultLocation where) noexcept {
    write_fault_report(std::string("contract broken: ") + condition, where);
    std::abort();
}

}  // namespace vexo
