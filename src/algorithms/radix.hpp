// Decimal least-significant-digit radix sort: the module function `radix`, and the sort
// `smart` picks for small value ranges. The one sort that computes with the values
// instead of comparing them: negative elements are set apart as magnitudes, each group is
// sorted by stable counting passes over its decimal digits (ten counters, one zero-filled
// output buffer per pass), and the negatives go back in front, largest magnitude first.
//
// The number of passes follows the largest magnitude, not n: values below 10 take one
// pass, values of 10^18 or more take nineteen.
//
// All digit arithmetic is unsigned. The magnitude of the smallest 64-bit value is 2^63,
// which no signed 64-bit value holds; as an unsigned value it is simply the 19-digit
// number 9223372036854775808, larger than every other magnitude, so it sorts first
// among the negatives without a special case and without a signed overflow.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "core/scratch.hpp"
#include "core/sort_target.hpp"

namespace vexo {

namespace radix_tuning {
// Decimal digits: ten counters per pass.
inline constexpr std::uint64_t digit_base = 10;
// 10^18 is the last place value at or below a 64-bit magnitude (at most 2^63 < 10^19),
// so no value has more than nineteen digits.
inline constexpr std::size_t max_digits = 19;
}  // namespace radix_tuning

// The hooks of the radix routines. The module runs them with this silent observer, whose
// empty members compile away; the C++ tests count passes and allocations through it.
struct RadixSilent {
    void allocated(std::size_t /*bytes*/) const noexcept {}
    void digit_pass(std::uint64_t /*multiplier*/, std::size_t /*length*/) const noexcept {}
};

namespace radix_detail {

template <class T>
concept DigitValue = std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>;

// A Scratch buffer that tells the observer what it takes; an empty one takes nothing.
template <class T, class Observer>
Scratch<T> observed_scratch(std::size_t count, typename Scratch<T>::Fill fill, Observer observer) noexcept {
    if (count > 0) observer.allocated(count * sizeof(T));
    return Scratch<T>(count, fill);
}

consteval std::uint64_t place_value(std::size_t digit_index) {
    std::uint64_t e = 1;
    for (std::size_t k = 0; k < digit_index; ++k) e *= radix_tuning::digit_base;
    return e;
}

// The largest place value is the last one at or below the largest magnitude, 2^63.
static_assert(place_value(radix_tuning::max_digits - 1) <= std::uint64_t{1} << 63 &&
                  (std::uint64_t{1} << 63) / radix_tuning::digit_base < place_value(radix_tuning::max_digits - 1),
              "max_digits is the digit count of 2^63");

// The digit of x at place value E, floor(x / E) mod 10. E is a compile-time constant, so
// both divisions become multiplications by reciprocals, exact for every 64-bit x.
template <std::uint64_t E, DigitValue T>
constexpr std::size_t digit_of(T x) noexcept {
    return static_cast<std::size_t>(static_cast<std::uint64_t>(x) / E % radix_tuning::digit_base);
}

// One stable counting pass over the digit at place value E.
// Contract: every value is >= 0; allocates one zero-filled buffer of values.size()
// elements and releases it before returning.
template <std::uint64_t E, DigitValue T, class Observer>
void digit_pass(std::span<T> values, Observer observer) noexcept {
    const std::size_t m = values.size();
    observer.digit_pass(E, m);
    Scratch<T> output = observed_scratch<T>(m, Scratch<T>::Fill::zeroed, observer);
    std::uint64_t count[radix_tuning::digit_base] = {};
    for (const T x : values) ++count[digit_of<E>(x)];
    // Each counter becomes the number of values whose digit is at most its own.
    for (std::size_t d = 1; d < radix_tuning::digit_base; ++d) count[d] += count[d - 1];
    // Placing from the last value to the first with decreasing counters keeps values of
    // equal digit in their previous order: the pass is stable, so the passes compose.
    // The digit is recomputed rather than stored, which costs a multiply and saves a
    // buffer of m digits.
    T* const out = output.data();
    for (std::size_t k = m; k-- > 0;) {
        const T x = values[k];
        out[--count[digit_of<E>(x)]] = x;
    }
    std::copy(out, out + m, values.data());
}

// Runs the passes for the first `passes` place values, 1, 10, ..., each with its own
// compile-time divisor.
template <DigitValue T, class Observer, std::size_t... Digit>
void digit_passes(std::span<T> values, std::size_t passes, Observer observer, std::index_sequence<Digit...>) noexcept {
    static_cast<void>(((Digit < passes ? (digit_pass<place_value(Digit)>(values, observer), true) : false) && ...));
}

// The number of decimal digits of top >= 1: the passes needed for values up to top. In
// unsigned arithmetic e reaches at most 10^19, which still fits and exceeds every value.
constexpr std::size_t decimal_digits(std::uint64_t top) noexcept {
    std::size_t digits = 0;
    for (std::uint64_t e = 1; e <= top && digits < radix_tuning::max_digits; e *= radix_tuning::digit_base) ++digits;
    return digits;
}

constexpr std::uint64_t magnitude_of_negative(std::int64_t x) noexcept { return std::uint64_t{0} - static_cast<std::uint64_t>(x); }

// The inverse: 2^63 comes back as the smallest 64-bit value (modular conversion).
constexpr std::int64_t negative_of_magnitude(std::uint64_t magnitude) noexcept {
    return static_cast<std::int64_t>(std::uint64_t{0} - magnitude);
}

}  // namespace radix_detail

// Sorts a sequence of non-negative values ascending (stably), by one counting pass per
// decimal digit of its largest value: the target itself (int64 values >= 0) or a list of
// magnitudes (uint64, up to 2^63).
// Contract: every value >= 0; any length. Allocates one zero-filled buffer of
// values.size() elements per pass, released at the end of the pass; nothing when fewer
// than 2 values or all are 0. No recursion.
template <radix_detail::DigitValue T, class Observer>
void radix_sort_non_negative_observed(std::span<T> values, Observer observer) noexcept {
    if (values.size() < 2) return;
    const std::uint64_t top = static_cast<std::uint64_t>(*std::max_element(values.begin(), values.end()));
    if (top == 0) return;
    radix_detail::digit_passes(values, radix_detail::decimal_digits(top), observer, std::make_index_sequence<radix_tuning::max_digits>{});
}

inline void radix_sort_non_negative(SortTarget values) noexcept { radix_sort_non_negative_observed(values, RadixSilent{}); }
inline void radix_sort_non_negative(std::span<std::uint64_t> magnitudes) noexcept {
    radix_sort_non_negative_observed(magnitudes, RadixSilent{});
}

// Sorts `target` ascending.
// Contract: any length; touches only target[0, n). Nothing is allocated for fewer than 2
// elements or an all-zero target. Without negative elements the target is sorted in
// place through the per-pass buffers; otherwise the magnitudes of the q negatives and the
// n - q other values are copied into two lists (n values in all), sorted and written
// back. No recursion.
template <class Observer>
void radix_sort_observed(SortTarget target, Observer observer) noexcept {
    const std::size_t n = target.size();
    if (n < 2) return;
    // One scan finds the smallest and largest values and counts the negatives, so that
    // both lists can be taken at their final size: no regrowth, no copy of a list that
    // will not be used.
    std::int64_t lo = target[0];
    std::int64_t hi = target[0];
    std::size_t negatives = 0;
    for (const std::int64_t x : target) {
        lo = std::min(lo, x);
        hi = std::max(hi, x);
        negatives += x < 0 ? 1 : 0;
    }
    const std::uint64_t largest_magnitude =
        std::max(lo < 0 ? radix_detail::magnitude_of_negative(lo) : 0, hi > 0 ? static_cast<std::uint64_t>(hi) : 0);
    if (largest_magnitude == 0) return;  // every element is 0
    if (negatives == 0) {
        radix_sort_non_negative_observed(target, observer);
        return;
    }

    const std::size_t q = negatives;
    Scratch<std::uint64_t> negative =
        radix_detail::observed_scratch<std::uint64_t>(q, Scratch<std::uint64_t>::Fill::uninitialised, observer);
    Scratch<std::int64_t> non_negative =
        radix_detail::observed_scratch<std::int64_t>(n - q, Scratch<std::int64_t>::Fill::uninitialised, observer);
    std::size_t next_negative = 0;
    std::size_t next_non_negative = 0;
    for (const std::int64_t x : target) {
        if (x < 0) {
            negative[next_negative++] = radix_detail::magnitude_of_negative(x);
        } else {
            non_negative[next_non_negative++] = x;
        }
    }

    // Ascending magnitudes are descending negatives: write them back from the largest
    // magnitude to the smallest, which is the reversal and the negation in one pass.
    radix_sort_non_negative_observed(negative.span(), observer);
    for (std::size_t k = 0; k < q; ++k) target[k] = radix_detail::negative_of_magnitude(negative[q - 1 - k]);
    if (q == n) return;
    radix_sort_non_negative_observed(non_negative.span(), observer);
    std::copy(non_negative.data(), non_negative.data() + (n - q), target.data() + q);
}

inline void radix_sort(SortTarget target) noexcept { radix_sort_observed(target, RadixSilent{}); }

}  // namespace vexo
