// The one stable two-run merge of vexo: `merge`, `tim`, `par_sort` and `par_merge` all
// merge through it, each with its own buffers and copies around it.
//
// A merge of random runs is bound by one chain of dependent steps: the next comparison
// needs the cursor that the last one advanced. Written with a branch, that chain also
// mispredicts on every other element; written branch-free, it is the load, compare and
// advance latency, a few cycles an element. So the loop here is branch-free, checks its
// stopping conditions once per block instead of once per element, and runs two chains at
// once: one merges from the fronts of the runs (smallest first) and one from their backs
// (largest first), as in the bidirectional merges of quadsort and glidesort, which
// overlaps the two latencies.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <type_traits>

#include "core/assert.hpp"

namespace vexo {

namespace merge_detail {

// One step from the fronts: the right element goes first only when strictly smaller, so
// ties keep the left run first. Needs left != left_end and right != right_end.
template <class T>
inline void take_front(const T*& left, const T*& right, T*& out) noexcept {
    const T a = *left;
    const T b = *right;
    const bool right_first = b < a;
    *out++ = right_first ? b : a;
    right += right_first;
    left += !right_first;
}

// One step from the backs: the left element goes last only when strictly greater, so on
// ties the right run's element is placed behind the left run's. Needs both runs non-empty
// below their back cursors.
template <class T>
inline void take_back(const T*& left_back, const T*& right_back, T*& out_back) noexcept {
    const T a = left_back[-1];
    const T b = right_back[-1];
    const bool left_last = b < a;
    *--out_back = left_last ? a : b;
    left_back -= left_last;
    right_back -= !left_last;
}

// Front merge of the rest, with its bounds checked once per block: while both runs have
// elements left, min(rest of left, rest of right) steps cannot run out of either.
template <class T>
inline void merge_forward(const T* left, const T* left_end, const T* right, const T* right_end, T* out) noexcept {
    for (;;) {
        const auto steps = std::min(left_end - left, right_end - right);
        if (steps == 0) break;
        for (auto s = steps; s > 0; --s) take_front(left, right, out);
    }
    // At most one of the runs has elements left.
    out = std::copy(left, left_end, out);
    std::copy(right, right_end, out);
}

}  // namespace merge_detail

// Merges the sorted runs left[0, l) and right[0, r) into out[0, l + r), stably: on equal
// elements those of the left run come first. `out` must overlap neither run. No
// allocation, no recursion; every element is read from its run and written once.
//
// The front chain places the smallest elements of the merged order and the back chain
// the largest, so as long as the two together have placed no more than l + r elements,
// what each has taken is a prefix (front) or a suffix (back) of each run, and they never
// take the same element. A chain may still read an element the other has taken: that
// element lies beyond every element not yet placed, so it loses the comparison (ties
// included: the stable order puts a taken left element before any untaken equal right
// one, and symmetrically), and the read stays inside the run. Once either chain could
// leave a run, the untaken middle of both runs is merged from the front alone.
template <class T>
inline void merge_runs(const T* left, std::size_t l, const T* right, std::size_t r, T* out) noexcept {
    static_assert(std::is_trivially_copyable_v<T>, "the merge copies elements as raw values");
    // The output overlaps neither run (std::less orders unrelated pointers too).
    VEXO_ASSERT(!std::less<const T*>{}(out, left + l) || !std::less<const T*>{}(left, out + l + r));
    VEXO_ASSERT(!std::less<const T*>{}(out, right + r) || !std::less<const T*>{}(right, out + l + r));
    const T* left_front = left;
    const T* right_front = right;
    const T* left_back = left + l;
    const T* right_back = right + r;
    T* out_front = out;
    T* out_back = out + l + r;
    for (;;) {
        // Steps both chains can take with no check: neither cursor leaves its run, and
        // the two chains' outputs do not meet.
        const auto front_room = std::min(left + l - left_front, right + r - right_front);
        const auto back_room = std::min(left_back - left, right_back - right);
        const auto steps = std::min({front_room, back_room, (out_back - out_front) / 2});
        if (steps == 0) break;
        for (auto s = steps; s > 0; --s) {
            merge_detail::take_front(left_front, right_front, out_front);
            merge_detail::take_back(left_back, right_back, out_back);
        }
    }
    merge_detail::merge_forward(left_front, left_back, right_front, right_back, out_front);
}

}  // namespace vexo
