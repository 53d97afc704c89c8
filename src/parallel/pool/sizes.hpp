// How many workers the pool has: the size rules over RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS, the number of online processors, and the pool's limits. Nothing here
// starts a thread; the registry (parallel/pool.cpp) reads the environment once and asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vexo {

// Limits of the pool, each with the reason it has its value.
namespace pool_limits {
// More workers than this buys nothing on any machine vexo runs on and only costs stacks.
// Frozen: see docs/compatibility.md.
inline constexpr std::uint64_t max_workers = 65535;
// Ample for the sorts' recursion (bounded by O(log n) frames per task) and small enough
// that thousands of workers fit in a 64-bit address space.
inline constexpr std::size_t worker_stack_bytes = std::size_t{2} << 20;
}  // namespace pool_limits

// An unsigned decimal count: an optional leading "+", then one or more digits 0-9 and
// nothing else, within 64 bits. Anything else (sign "-", blanks, letters, overflow, empty)
// is not a count.
std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept;

// The number of workers for the given values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (null when unset) and the number of online processors (0 when unknown).
std::size_t pool_size_from(const char* num_threads, const char* rs_num_cpus, std::size_t online) noexcept;

// Processors online, 0 if the system cannot tell.
std::size_t online_processors() noexcept;

}  // namespace vexo
