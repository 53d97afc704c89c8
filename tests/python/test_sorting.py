"""Results through the module: every function against numpy.sort on arbitrary arrays and
slices, adversarial patterns, each branch of `smart` (only the parallel one starts the
pool). Every pattern around every length threshold, and quick's nesting depth on its
quadratic inputs, are checked on the C++ routines themselves."""

import numpy as np
import pytest
from conftest import FUNCTION_NAMES, max_size, run_python
from hypothesis import given, settings
from hypothesis import strategies as st

from vexo import _vexo
from vexo import patterns as generators

INT64 = np.iinfo(np.int64)


@st.composite
def arrays(draw, max_length, min_length=0):
    """Arrays shaped like real data: every named pattern the bench and the C++ tests use,
    runs up and down of drawn lengths, and element-by-element literals where they stay
    small."""
    n = draw(st.integers(min_length, max_length))
    literal = ["literal"] if max_length <= 5000 else []
    shape = draw(st.sampled_from([*generators.NAMES, "runs", *literal]))
    seed = draw(st.integers(0, 2**32 - 1))
    if shape == "literal":
        items = draw(st.lists(st.integers(INT64.min, INT64.max), min_size=n, max_size=n))
        return np.array(items, dtype=np.int64)
    if shape != "runs":
        return generators.make(shape, n, seed)
    rng = np.random.default_rng(seed)
    a = rng.integers(-(10**6), 10**6, size=n, dtype=np.int64)
    bounds = np.sort(rng.integers(0, n + 1, size=draw(st.integers(0, 8))))
    for k, (lo, hi) in enumerate(zip(np.r_[0, bounds], np.r_[bounds, n], strict=True)):
        a[lo:hi] = np.sort(a[lo:hi])[:: -1 if k % 2 else 1]
    return a


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_equals_numpy_sort_on_whole_arrays_and_slices(name):
    function = getattr(_vexo, name)

    @given(arrays(max_size(name)), st.data())
    def check(a, data):
        lo, hi = 0, len(a)
        if data.draw(st.booleans(), label="slice"):
            lo = data.draw(st.integers(0, len(a)))
            hi = data.draw(st.integers(lo, len(a)))
        before = a.copy()
        assert function(a[lo:hi]) is None
        assert np.array_equal(a[:lo], before[:lo]) and np.array_equal(a[hi:], before[hi:])
        assert np.array_equal(a[lo:hi], np.sort(before[lo:hi]))

    check()


@st.composite
def ascending_with_one_pair_swapped(draw):
    """An ascending array of distinct values with one adjacent pair swapped: the first or
    the last pair as often as one drawn anywhere, since an order check that stops a pair
    short of either end misses exactly those."""
    n = draw(st.integers(2, 300))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    widest_gap = draw(st.sampled_from([2, 1000, 2**50]))
    start = draw(st.integers(INT64.min, INT64.max - n * widest_gap))
    a = start + np.cumsum(rng.integers(1, widest_gap, size=n, dtype=np.int64))
    k = draw(st.one_of(st.just(0), st.just(n - 2), st.integers(0, n - 2)))
    a[k], a[k + 1] = a[k + 1], a[k]
    return a


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_sorts_ascending_input_with_one_pair_swapped(name):
    function = getattr(_vexo, name)

    @given(ascending_with_one_pair_swapped())
    def check(a):
        expected = np.sort(a)
        function(a)
        assert np.array_equal(a, expected)

    check()


def patterns(n):
    rng = np.random.default_rng(n)
    i = np.arange(n, dtype=np.int64)
    # Ordered, equal and random inputs are among the shapes the property above draws, and
    # the C++ tests sort every named pattern with every routine.
    return {
        "median_of_three_killer": median_of_three_killer(n),
        # One long run and a short one: merges of very unequal length.
        "unequal_runs": np.r_[i[: max(n - 5, 0)], -i[: min(n, 5)]],
        # Every partition around a sampled pivot lands at one end.
        "two_values": np.where(rng.random(n) < 0.02, INT64.max, 0).astype(np.int64),
    }


def median_of_three_killer(n):
    """Musser's sequence that makes first/middle/last median-of-three pivots pick badly."""
    k = n // 2
    a = np.arange(n, dtype=np.int64)
    for i in range(1, k + 1):
        if i % 2 == 1:
            a[i - 1], a[i] = i, k + i
        a[k + i - 1] = 2 * i
    return a


@pytest.mark.parametrize("pattern", list(patterns(1)))
def test_patterns(sort_name, sort_function, pattern):
    for n in (0, 1, 2, 3, 16, 17, max_size(sort_name)):
        a = patterns(n)[pattern]
        expected = np.sort(a)
        sort_function(a)
        assert np.array_equal(a, expected), (pattern, n)


# One input per routine the decision table reaches (its boundaries are pinned by the C++
# tests), named by that routine.
BRANCH_INPUTS = {
    "insertion (16)": "np.arange(16)[::-1].copy()",
    "tim (few distinct)": "rng.integers(0, 3, size=200_000)",
    "radix (50000 descending)": "np.arange(1, 50_001)[::-1].copy()",
    "pdq (100000 wide random)": "rng.integers(-2**63, 2**63 - 1, size=100_000)",
    "parallel (100001)": "rng.integers(-2**63, 2**63 - 1, size=100_001)",
}


@pytest.mark.parametrize("branch", BRANCH_INPUTS)
def test_each_branch_sorts_and_only_the_parallel_one_starts_the_pool(branch):
    # A fresh process per branch: the pool, once made, lives until the process ends.
    result = run_python(
        f"""
        import os
        import numpy as np
        import vexo._vexo as m
        rng = np.random.default_rng(5)
        a = {BRANCH_INPUTS[branch]}.astype(np.int64)
        expected = np.sort(a)
        before = len(os.listdir("/proc/self/task"))
        assert m.smart(a) is None
        print(np.array_equal(a, expected), len(os.listdir("/proc/self/task")) > before)
    """,
        env={"RAYON_NUM_THREADS": "2"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", str(branch.startswith("parallel"))]


# The generic property stays below smart's parallel branch; this one lives above it.
@settings(max_examples=15)
@given(arrays(150_000, min_length=100_001))
def test_smart_above_the_parallel_bound(a):
    expected = np.sort(a)
    assert _vexo.smart(a) is None
    assert np.array_equal(a, expected)
