// The time of each merge, by its length, for tools/profile-merges alone. The module and the
// tests are built without VEXO_MERGE_PROFILE, where MergeTimer is an empty object that
// compiles away; the profiling program builds the sorts with it and defines merge_timed.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(VEXO_MERGE_PROFILE)
#if defined(__x86_64__)
#include <x86intrin.h>
#else
#include <chrono>
#endif
#endif

namespace vexo {

#if defined(VEXO_MERGE_PROFILE)
// The profile's clock: the time-stamp counter where there is one (a read costs a few
// nanoseconds, which the shortest merges would otherwise drown in).
inline std::uint64_t merge_clock() noexcept {
#if defined(__x86_64__)
    return __rdtsc();
#else
    return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

// Takes one merge of `length` elements that began at `start` (merge_clock()).
void merge_timed(std::size_t length, std::uint64_t start) noexcept;

class MergeTimer {
public:
    explicit MergeTimer(std::size_t length) noexcept : length_(length), start_(merge_clock()) {}
    ~MergeTimer() { merge_timed(length_, start_); }
    MergeTimer(const MergeTimer&) = delete;
    MergeTimer& operator=(const MergeTimer&) = delete;

private:
    std::size_t length_;
    std::uint64_t start_;
};
#else
class MergeTimer {
public:
    explicit MergeTimer(std::size_t) noexcept {}
};
#endif

}  // namespace vexo
