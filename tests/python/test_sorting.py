"""Every registered function against numpy.sort: properties over arbitrary arrays, the
named patterns, extreme values and sub-ranges."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from vexo import _vexo

from conftest import FUNCTION_NAMES, max_size

INT64 = np.iinfo(np.int64)


@st.composite
def arrays(draw, max_length):
    """Arrays shaped like real data: every value distribution and order the sorts treat
    differently (full range, narrow, few distinct, extremes, runs up and down, sawtooth,
    organ pipe)."""
    n = draw(st.integers(0, max_length))
    shape = draw(st.sampled_from(["full", "narrow", "few", "extremes", "runs", "sawtooth", "organ_pipe", "literal"]))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    i = np.arange(n, dtype=np.int64)
    if shape == "full":
        return rng.integers(INT64.min, INT64.max, size=n, dtype=np.int64, endpoint=True)
    if shape == "narrow":
        return rng.integers(-3, 4, size=n, dtype=np.int64)
    if shape == "few":
        return rng.choice(rng.integers(INT64.min, INT64.max, size=4, dtype=np.int64), size=n)
    if shape == "extremes":
        return rng.choice(np.array([INT64.min, INT64.min + 1, -1, 0, 1, INT64.max - 1, INT64.max], dtype=np.int64), size=n)
    if shape == "runs":
        a = rng.integers(-10**6, 10**6, size=n, dtype=np.int64)
        bounds = np.sort(rng.integers(0, n + 1, size=draw(st.integers(0, 8))))
        for k, (lo, hi) in enumerate(zip(np.r_[0, bounds], np.r_[bounds, n])):
            a[lo:hi] = np.sort(a[lo:hi])[:: -1 if k % 2 else 1]
        return a
    if shape == "sawtooth":
        return i % draw(st.integers(1, 50))
    if shape == "organ_pipe":
        return np.minimum(i, n - 1 - i)
    items = draw(st.lists(st.integers(INT64.min, INT64.max), min_size=n, max_size=n))
    return np.array(items, dtype=np.int64)


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_equals_numpy_sort(name):
    function = getattr(_vexo, name)

    @given(arrays(max_size(name)))
    def check(a):
        expected = np.sort(a)
        assert function(a) is None
        assert np.array_equal(a, expected)

    check()


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_sub_range_only(name):
    function = getattr(_vexo, name)

    @given(arrays(max_size(name)), st.data())
    def check(a, data):
        lo = data.draw(st.integers(0, len(a)))
        hi = data.draw(st.integers(lo, len(a)))
        before = a.copy()
        assert function(a[lo:hi]) is None
        assert np.array_equal(a[:lo], before[:lo]) and np.array_equal(a[hi:], before[hi:])
        assert np.array_equal(a[lo:hi], np.sort(before[lo:hi]))

    check()


def patterns(n):
    rng = np.random.default_rng(n)
    i = np.arange(n, dtype=np.int64)
    return {
        "random": rng.integers(INT64.min, INT64.max, size=n, dtype=np.int64, endpoint=True),
        "ascending": i,
        "descending": i[::-1].copy(),
        "all_equal": np.full(n, 7, dtype=np.int64),
        "organ_pipe": np.minimum(i, n - 1 - i),
        "extremes": rng.choice(np.array([INT64.min, INT64.max, 0], dtype=np.int64), size=n),
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


def test_slice_touches_nothing_outside(sort_function):
    a = np.array([9, 8, 7, 6, 5, 4, 3, 2, 1, 0], dtype=np.int64)
    sort_function(a[2:7])
    assert a.tolist() == [9, 8, 3, 4, 5, 6, 7, 2, 1, 0]


def test_extreme_values_go_to_the_ends(sort_function):
    a = np.array([INT64.max, INT64.min, 0], dtype=np.int64)
    sort_function(a)
    assert a.tolist() == [INT64.min, 0, INT64.max]
