// The pool's size rules (see sizes.hpp).
#include "parallel/pool/sizes.hpp"

#include <unistd.h>

#include <algorithm>
#include <limits>

namespace vexo {

// Frozen: see docs/compatibility.md.
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

// Frozen: see docs/compatibility.md.
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

}  // namespace vexo
