// The scalar merge kernel, and the merge of any other element type: a branch-free loop
// that the AVX2 kernel also hands its longer runs to, and the co-ranking search that the
// vector kernels cut their long merges with. The sorts reach it through merge_runs
// (kernels/merge_runs.hpp), which picks the kernel.
//
// A merge of random runs is bound by one chain of dependent steps: the next comparison
// needs the cursor that the last one advanced. Written with a branch, that chain also
// mispredicts on every other element; written branch-free, it is the load, compare and
// advance latency, a few cycles an element. So the loop here is branch-free, checks its
// stopping conditions once per block instead of once per element, and runs independent
// chains side by side: one merges from the fronts of the runs (smallest first) and one
// from their backs (largest first), as in the bidirectional merges of quadsort and
// glidesort; and a long merge is first cut at the middle of its output (the co-ranking
// search of merge-path partitioning), so two such pairs of chains run in one loop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>

#include "core/assert.hpp"

namespace vexo {

namespace merge_tuning {
// Merges of at least this many elements are cut in two at the middle of the output (one
// binary search) and run as two bidirectional merges in one loop: four independent chains
// instead of two. Below it the search and the second set of cursors cost more than the
// overlap brings.
inline constexpr std::size_t one_pair_of_chains_below = 64;
}  // namespace merge_tuning

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
// elements left, min(rest of left, rest of right) steps cannot run out of either. Needs
// left <= left_end and right <= right_end (BidirectionalMerge::uncross sees to it).
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

// One stable merge run from both ends at once. The front chain places the smallest
// elements of the merged order and the back chain the largest, so as long as the two
// together have placed no more than l + r elements, what each has taken is a prefix
// (front) or a suffix (back) of each run, and they never take the same element. A chain
// may still read an element the other has taken: that element lies beyond every element
// not yet placed, so it loses the comparison (ties included: the stable order puts a
// taken left element before any untaken equal right one, and symmetrically), and the read
// stays inside the run. Once either chain could leave a run, the untaken middle of both
// runs is merged from the front alone. `safe_steps` says how many front-and-back steps
// can run with no check.
template <class T>
struct BidirectionalMerge {
    const T* left_front;
    const T* right_front;
    const T* left_back;
    const T* right_back;
    T* out_front;
    T* out_back;
    const T* left;
    const T* right;
    const T* left_end;
    const T* right_end;

    BidirectionalMerge(const T* left_run, std::size_t l, const T* right_run, std::size_t r, T* out) noexcept
        : left_front(left_run),
          right_front(right_run),
          left_back(left_run + l),
          right_back(right_run + r),
          out_front(out),
          out_back(out + l + r),
          left(left_run),
          right(right_run),
          left_end(left_run + l),
          right_end(right_run + r) {}

    // Neither cursor leaves its run, and the two chains' outputs do not meet.
    std::ptrdiff_t safe_steps() const noexcept {
        const auto front_room = std::min(left_end - left_front, right_end - right_front);
        const auto back_room = std::min(left_back - left, right_back - right);
        return std::min({front_room, back_room, (out_back - out_front) / 2});
    }
    void step() noexcept {
        merge_detail::take_front(left_front, right_front, out_front);
        merge_detail::take_back(left_back, right_back, out_back);
    }
    // Runs the chains as far as they go, then merges the untaken middle from the front.
    void finish() noexcept {
        for (auto steps = safe_steps(); steps > 0; steps = safe_steps()) {
            for (auto s = steps; s > 0; --s) step();
        }
        uncross();
        merge_detail::merge_forward(left_front, left_back, right_front, right_back, out_front);
    }
    // Sorted runs never get here crossed, but runs out of order can: the front chain may
    // take elements of a run that the back chain took too, leaving that run's middle of
    // negative length, which merge_forward would step through for ever. The two middles
    // still add up to the out_back - out_front places left, so the crossed run gives none
    // and the other fills them from its front: any result, but read from inside the runs
    // and written inside `out`. Once a merge, outside the loop.
    void uncross() noexcept {
        const std::ptrdiff_t places = out_back - out_front;
        if (left_back < left_front) {
            left_back = left_front;
            right_back = right_front + places;
        } else if (right_back < right_front) {
            right_back = right_front;
            left_back = left_front + places;
        }
    }
};

// How many of the first h elements of the stable merge of left[0, l) and right[0, r) come
// from the left run (binary search; h <= l + r). Whatever the runs hold, sorted or not,
// it reads only inside them and returns a share of at most l whose rest, h minus it, is
// at most r: the cut it gives a merge always leaves two halves inside the runs.
template <class T>
std::size_t left_share_of_prefix(const T* left, std::size_t l, const T* right, std::size_t r, std::size_t h) noexcept {
    std::size_t lo = h > r ? h - r : 0;
    std::size_t hi = std::min(h, l);
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        // left[mid] belongs to the prefix when it does not come after right[h - mid - 1].
        if (!(right[h - mid - 1] < left[mid])) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// Whether out[0, n) lies clear of run[0, length) (std::less orders unrelated pointers too).
template <class T>
bool apart(const T* out, std::size_t n, const T* run, std::size_t length) noexcept {
    return !std::less<const T*>{}(out, run + length) || !std::less<const T*>{}(run, out + n);
}

// Merges the sorted runs left[0, l) and right[0, r) into out[0, l + r), stably: on equal
// elements those of the left run come first. `out` must overlap neither run. No
// allocation, no recursion; every element is read from its run and written once. The
// scalar merge kernel, and the merge of any other element type.
//
// A long merge is cut where the first half of its output ends: the elements placed there
// are a prefix of each run (left_share_of_prefix finds how long), so the two halves are
// independent merges into disjoint parts of `out`, each stable on its own.
template <class T>
inline void merge_runs_branch_free(const T* left, std::size_t l, const T* right, std::size_t r, T* out) noexcept {
    static_assert(std::is_trivially_copyable_v<T>, "the merge copies elements as raw values");
    VEXO_ASSERT(apart(out, l + r, left, l) && apart(out, l + r, right, r));
    if (l + r < merge_tuning::one_pair_of_chains_below) {
        BidirectionalMerge<T>(left, l, right, r, out).finish();
        return;
    }
    const std::size_t h = (l + r) / 2;
    const std::size_t i = left_share_of_prefix(left, l, right, r, h);
    BidirectionalMerge<T> low(left, i, right, h - i, out);
    BidirectionalMerge<T> high(left + i, l - i, right + (h - i), r - (h - i), out + h);
    for (auto steps = std::min(low.safe_steps(), high.safe_steps()); steps > 0; steps = std::min(low.safe_steps(), high.safe_steps())) {
        for (auto s = steps; s > 0; --s) {
            low.step();
            high.step();
        }
    }
    low.finish();
    high.finish();
}

// merge_runs_branch_free's contract for a few elements, by rank: each element's place in
// the output is its place in its run plus how many elements of the other run go before it
// (those strictly smaller for a left element, those not greater for a right one, so ties
// keep the left run first). l * r comparisons, but none waits on another and none is a
// branch, where a merge loop would be a chain of dependent steps.
template <class T>
inline void merge_by_rank(const T* left, std::size_t l, const T* right, std::size_t r, T* out) noexcept {
    for (std::size_t i = 0; i < l; ++i) {
        std::size_t place = i;
        for (std::size_t j = 0; j < r; ++j) place += right[j] < left[i];
        out[place] = left[i];
    }
    for (std::size_t j = 0; j < r; ++j) {
        std::size_t place = j;
        for (std::size_t i = 0; i < l; ++i) place += !(right[j] < left[i]);
        out[place] = right[j];
    }
}

}  // namespace vexo
