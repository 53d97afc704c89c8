"""Every registered function against numpy.sort: properties over arbitrary arrays, the
named patterns, extreme values and sub-ranges."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from vexo import _vexo

from conftest import FUNCTION_NAMES, max_size

INT64 = np.iinfo(np.int64)


def values(max_length):
    elements = st.one_of(
        st.integers(INT64.min, INT64.max),
        st.integers(-5, 5),
        st.sampled_from([INT64.min, INT64.max, INT64.min + 1, INT64.max - 1, 0, -1]),
    )
    return st.lists(elements, max_size=max_length)


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_equals_numpy_sort(name):
    function = getattr(_vexo, name)

    @given(values(max_size(name)))
    def check(items):
        a = np.array(items, dtype=np.int64)
        expected = np.sort(a)
        assert function(a) is None
        assert np.array_equal(a, expected)

    check()


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_sub_range_only(name):
    function = getattr(_vexo, name)

    @given(values(max_size(name)), st.data())
    def check(items, data):
        a = np.array(items, dtype=np.int64)
        lo = data.draw(st.integers(0, len(a)))
        hi = data.draw(st.integers(lo, len(a)))
        before = a.copy()
        function(a[lo:hi])
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
    }


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
