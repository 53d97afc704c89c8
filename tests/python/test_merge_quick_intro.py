"""merge, quick and intro against numpy.sort: random and patterned inputs, sizes around
intro's small-range limit, the full int64 range, slices, and quick's stack use on the
inputs that make it quadratic."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import int64_array, run_python
from vexo import _vexo

NAMES = ["merge", "quick", "intro"]
INT64_MIN, INT64_MAX = np.iinfo(np.int64).min, np.iinfo(np.int64).max
int64s = st.integers(min_value=int(INT64_MIN), max_value=int(INT64_MAX))


def patterned(pattern: str, n: int) -> np.ndarray:
    rng = np.random.default_rng(n)
    if pattern == "ascending":
        return np.arange(n, dtype=np.int64)
    if pattern == "descending":
        return np.arange(n, 0, -1, dtype=np.int64)
    if pattern == "all_equal":
        return np.full(n, -5, dtype=np.int64)
    if pattern == "organ_pipe":
        i = np.arange(n, dtype=np.int64)
        return np.minimum(i, n - 1 - i)
    if pattern == "extremes":
        return rng.choice(int64_array([INT64_MIN, INT64_MAX, 0, -1, 1, INT64_MIN + 1, INT64_MAX - 1]), n)
    assert pattern == "random"
    return rng.integers(INT64_MIN, INT64_MAX, n, dtype=np.int64, endpoint=True)


def assert_sorts(name: str, a: np.ndarray) -> None:
    expected = np.sort(a)
    assert getattr(_vexo, name)(a) is None
    np.testing.assert_array_equal(a, expected)


@pytest.mark.parametrize("name", NAMES)
@given(values=st.lists(int64s, max_size=200))
def test_equals_numpy_sort_on_any_values(name, values):
    assert_sorts(name, int64_array(values))


@pytest.mark.parametrize("name", NAMES)
@given(n=st.integers(0, 4000), seed=st.integers(0, 2**32 - 1), spread=st.sampled_from([2, 40, 2**20, 2**63]))
def test_equals_numpy_sort_up_to_thousands(name, n, seed, spread):
    rng = np.random.default_rng(seed)
    assert_sorts(name, rng.integers(-spread, spread, n, dtype=np.int64, endpoint=spread < 2**63))


# Every size from empty up past twice intro's small-range limit of 16 (a range split once
# or twice before insertion sort takes over), and 3000, where quick's quadratic inputs
# finish in well under a second yet nest thousands of levels in left-first recursion.
@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("pattern", ["random", "ascending", "descending", "all_equal", "organ_pipe", "extremes"])
def test_patterns_at_every_small_size(name, pattern):
    for n in [*range(0, 40), 63, 64, 65, 3000]:
        assert_sorts(name, patterned(pattern, n))


@pytest.mark.parametrize(
    "values, expected",
    [
        ([2, 1], [1, 2]),
        ([1, 2], [1, 2]),
        ([3, 1, 2], [1, 2, 3]),
        ([INT64_MAX, INT64_MIN, 0], [INT64_MIN, 0, INT64_MAX]),
        ([INT64_MAX, INT64_MIN, INT64_MAX, 0], [INT64_MIN, 0, INT64_MAX, INT64_MAX]),
    ],
)
@pytest.mark.parametrize("name", NAMES)
def test_small_literals(name, values, expected):
    a = int64_array(values)
    getattr(_vexo, name)(a)
    assert a.tolist() == expected


@pytest.mark.parametrize("name", NAMES)
@given(values=st.lists(int64s, min_size=0, max_size=120), data=st.data())
def test_slice_sorts_only_itself(name, values, data):
    a = int64_array(values)
    lo = data.draw(st.integers(0, len(a)))
    hi = data.draw(st.integers(lo, len(a)))
    expected = a.copy()
    expected[lo:hi] = np.sort(expected[lo:hi])
    getattr(_vexo, name)(a[lo:hi])
    np.testing.assert_array_equal(a, expected)


# Left-first recursion would nest one call per element on these inputs, which at 40000
# elements overflows a 256 KiB thread stack many times over (even at 16 bytes a frame),
# so a regression crashes the child instead of merely running slowly.
QUICK_ON_SMALL_STACK = """
import threading
import numpy as np
from vexo import _vexo

N = 40_000
inputs = {"ascending": np.arange(N, dtype=np.int64), "all_equal": np.full(N, 7, dtype=np.int64)}
threading.stack_size(256 * 1024)
worker = threading.Thread(target=lambda: [_vexo.quick(a) for a in inputs.values()])
worker.start()
worker.join()
assert (inputs["ascending"] == np.arange(N)).all() and (inputs["all_equal"] == 7).all()
print("sorted")
"""


def test_quick_on_quadratic_input_fits_a_small_stack():
    result = run_python(QUICK_ON_SMALL_STACK)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "sorted"
