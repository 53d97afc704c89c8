// The sampled analyses and the decision table of `smart`, on their boundary cases.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "adaptive/smart.hpp"
#include "utils/analysis.hpp"

namespace vexo {
namespace {

using Values = std::vector<std::int64_t>;
using limits = std::numeric_limits<std::int64_t>;

// A permutation of 0..count-1 with exactly `inversions` inverted pairs (Lehmer code: each
// value picked has `d` smaller values left after it).
Values with_inversions(std::size_t count, std::size_t inversions) {
    Values remaining(count), result;
    for (std::size_t i = 0; i < count; ++i) remaining[i] = static_cast<std::int64_t>(i);
    while (!remaining.empty()) {
        const std::size_t d = std::min(inversions, remaining.size() - 1);
        result.push_back(remaining[d]);
        remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(d));
        inversions -= d;
    }
    return result;
}

// An array of length n whose sampled positions 0, s, 2s, ... hold `sampled` in order and
// whose other positions hold noise that must not matter.
Values place_samples(std::size_t n, std::size_t stride, const Values& sampled) {
    std::mt19937_64 rng(n);
    Values v(n);
    for (auto& x : v) x = static_cast<std::int64_t>(rng());
    for (std::size_t i = 0; i < sampled.size(); ++i) v.at(i * stride) = sampled[i];
    return v;
}

// The analyses take a (mutable) Sort target; these let the tests pass fresh arrays.
double score(Values v) { return sortedness_score(v); }
double ratio(Values v) { return duplicate_ratio(v); }
bool small_range(Values v) { return has_small_range(v); }
SmartChoice choice(Values v) { return smart_choice(v); }

Values descending(std::size_t n, std::int64_t step = 1) {
    Values v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::int64_t>(n - i) * step;
    return v;
}

TEST(SortednessScore, OrderedEqualAndReversed) {
    for (std::size_t n : {0, 1, 2, 17, 201, 12345}) {
        EXPECT_EQ(score(with_inversions(n, 0)), 1.0) << n;
        EXPECT_EQ(score(Values(n, -3)), 1.0) << n;
        if (n >= 2) {
            EXPECT_EQ(score(descending(n)), 0.0) << n;
        }
    }
}

// 136 pairs at n = 17; 4950 at n = 200 (position 200 lies outside); 5050 at 150 and 201,
// where position 100*s is inside and compared with every earlier sample.
TEST(SortednessScore, WorkedExamples) {
    const std::pair<Values, double> table[] = {
        {with_inversions(17, 1), 1.0 - 1.0 / 136.0},
        {place_samples(200, 2, with_inversions(100, 495)), 0.9},
        {place_samples(201, 2, with_inversions(101, 505)), 0.9},
        {place_samples(150, 1, with_inversions(101, 505)), 0.9},
    };
    for (std::size_t k = 0; k < std::size(table); ++k) EXPECT_EQ(score(table[k].first), table[k].second) << "row " << k;
}

TEST(DuplicateRatio, CountsRepeatsAmongSamplesOnly) {
    Values pairs;
    for (std::int64_t v = 1; v <= 10; ++v) pairs.insert(pairs.end(), {v, v});
    EXPECT_EQ(ratio(pairs), 0.5);
    EXPECT_EQ(ratio(Values{}), 0.0);
    EXPECT_EQ(ratio(Values{7}), 0.0);

    Values fifty_twice;
    for (std::int64_t v = 0; v < 50; ++v) fifty_twice.insert(fifty_twice.end(), {v, v});
    for (std::size_t n : {101, 150, 999, 100'000, 100'001}) {
        EXPECT_EQ(ratio(place_samples(n, n / 100, fifty_twice)), 0.5) << n;
    }
    // Position 100*s is no sample here: a repeat there changes nothing.
    Values distinct = place_samples(201, 2, with_inversions(100, 0));
    distinct[200] = distinct[0];
    EXPECT_EQ(ratio(distinct), 0.0);
}

TEST(HasSmallRange, SpanBoundExtremesAndOnlyItsSamples) {
    Values v(1000, 5);
    v[10] = 5 + 999'999;
    EXPECT_TRUE(small_range(v));
    v[10] = 5 + 1'000'000;
    EXPECT_FALSE(small_range(v));
    v[10] = limits::max();
    v[20] = limits::min();
    EXPECT_FALSE(small_range(v));
    EXPECT_TRUE(small_range(Values(100'000, limits::min())));
    Values sampled(2000);  // sampled 0..999000; the odd positions are not read
    for (std::size_t i = 0; i < sampled.size(); ++i) sampled[i] = static_cast<std::int64_t>(i % 2 == 0 ? i * 500 : 1'000'000'000'000);
    EXPECT_TRUE(small_range(sampled));
}

struct Case {
    const char* name;
    Values input;
    SmartChoice expected;
};

TEST(SmartChoice, DecisionTableAtItsBoundaries) {
    Values ten_values(150);  // ten values at the 100 sampled positions: ratio 0.9
    for (std::size_t i = 0; i < ten_values.size(); ++i) ten_values[i] = static_cast<std::int64_t>((150 - i) % 10);
    // 100 descending samples with `distinct` different values, far apart (no small range).
    const auto samples_with = [](std::int64_t distinct) {
        Values samples;
        for (std::int64_t i = 0; i < 100; ++i) samples.push_back(-(i * distinct / 100) * 7'000'000);
        return place_samples(1000, 10, samples);
    };
    const Values ratio_half = samples_with(50);   // 50 repeats among 100 samples
    const Values ratio_above = samples_with(49);  // 51 repeats

    const std::vector<Case> cases = {
        {"one", {4}, SmartChoice::nothing},
        {"16 descending", descending(16), SmartChoice::insertion},
        {"17 descending", descending(17), SmartChoice::pdq},
        {"17 with 13 inversions", with_inversions(17, 13), SmartChoice::tim},
        {"17 with 14 inversions", with_inversions(17, 14), SmartChoice::pdq},
        {"score exactly 0.9", place_samples(200, 2, with_inversions(100, 495)), SmartChoice::pdq},
        {"all equal, parallel size", Values(200'000, 9), SmartChoice::tim},
        {"ten values in 150", ten_values, SmartChoice::tim},
        {"ratio exactly 0.5", ratio_half, SmartChoice::pdq},
        {"ratio 0.51", ratio_above, SmartChoice::tim},
        {"999 descending small range", descending(999), SmartChoice::pdq},
        {"1000 descending small range", descending(1000), SmartChoice::radix},
        {"50000 descending wide", descending(50'000, 1'000'000), SmartChoice::pdq},
        {"100000 descending small range", descending(100'000), SmartChoice::radix},
        {"100001 descending", descending(100'001), SmartChoice::parallel_unstable},
    };
    for (const Case& c : cases) EXPECT_EQ(choice(c.input), c.expected) << c.name;
}

}  // namespace
}  // namespace vexo
