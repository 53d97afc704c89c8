"""tim, pdq and radix through the module: results against numpy.sort at every threshold,
the named patterns, slices, fault reports naming each unit, and allocation failure."""

import re
import signal

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from vexo import _vexo

from conftest import int64_array, run_python

NAMES = ["tim", "pdq", "radix"]
INT64 = np.iinfo(np.int64)

# pdq: small-range limit and medians of thirds; tim: run lengths 16..32 and their
# multiples; radix: every digit count is covered by the digit sweep below.
THRESHOLD_SIZES = [2, 3, 4, 5, 24, 25, 26, 31, 32, 33, 63, 64, 65, 70, 127, 128, 129, 513, 1024, 1025]


def _patterns(n: int) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(n)
    i = np.arange(n, dtype=np.int64)
    return {
        "ascending": i,
        "descending": i[::-1].copy(),
        "all_equal": np.full(n, 7, dtype=np.int64),
        "organ_pipe": np.minimum(i, n - 1 - i),
        "few_distinct": rng.integers(-3, 4, size=n, dtype=np.int64) * 1_000_003,
        "extremes": rng.choice(int64_array([INT64.min, INT64.max, 0, -1, INT64.min + 1]), size=n),
        "random": rng.integers(INT64.min, INT64.max, size=n, dtype=np.int64, endpoint=True),
    }


def _check(name: str, arr: np.ndarray) -> None:
    expected = np.sort(arr)
    assert getattr(_vexo, name)(arr) is None
    np.testing.assert_array_equal(arr, expected)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("n", THRESHOLD_SIZES)
def test_patterns_at_every_threshold(name, n):
    for pattern, arr in _patterns(n).items():
        _check(name, arr)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("digits", range(1, 20))
def test_values_of_every_digit_count(name, digits):
    rng = np.random.default_rng(digits)
    top = INT64.max if digits == 19 else 10**digits - 1
    values = rng.integers(-top, top, size=300, dtype=np.int64, endpoint=True)
    _check(name, np.concatenate([values, int64_array([top, -top, 10 ** (digits - 1), 0])]))


@pytest.mark.parametrize("name", NAMES)
@given(
    data=hnp.arrays(np.int64, st.integers(0, 3000), elements=st.one_of(st.integers(INT64.min, INT64.max), st.integers(-5, 5))),
    cut=st.tuples(st.integers(0, 3000), st.integers(0, 3000)),
)
def test_slices_sort_like_numpy_and_leave_neighbours_alone(name, data, cut):
    lo, hi = sorted(c % (len(data) + 1) for c in cut)
    arr = data.copy()
    getattr(_vexo, name)(arr[lo:hi])
    np.testing.assert_array_equal(arr[lo:hi], np.sort(data[lo:hi]))
    np.testing.assert_array_equal(arr[:lo], data[:lo])
    np.testing.assert_array_equal(arr[hi:], data[hi:])


@pytest.mark.parametrize(
    "values, expected",
    [
        ([], []),
        ([1], [1]),
        ([2, 1], [1, 2]),
        ([0, 0, -1], [-1, 0, 0]),
        ([INT64.max, 1, 2], [1, 2, INT64.max]),
        ([0, INT64.min], [INT64.min, 0]),
        ([-3, INT64.min, -3], [INT64.min, -3, -3]),
        ([INT64.max, INT64.min, 0], [INT64.min, 0, INT64.max]),
    ],
)
@pytest.mark.parametrize("name", NAMES)
def test_edge_cases(name, values, expected):
    arr = int64_array(values)
    getattr(_vexo, name)(arr)
    assert arr.tolist() == expected


@pytest.mark.parametrize("name", NAMES)
def test_fault_report_names_the_algorithms_unit(name):
    result = run_python(f"""
        import numpy as np, vexo
        try:
            vexo.{name}(np.arange(10, dtype=np.int64)[::2])
        except BaseException as e:
            print(type(e).__module__ + "." + type(e).__name__)
    """)
    assert result.stdout.strip() == "pyo3_runtime.PanicException"
    assert re.search(rf"panicked at src/algorithms/{name}\.cpp:\d+:\d+:", result.stderr), result.stderr


@pytest.mark.parametrize("name", ["tim", "radix"])
def test_failed_scratch_allocation_aborts_with_its_size(name):
    # Leave the process 16 MiB of address space beyond what it holds, then sort 32 MiB
    # of mixed-sign values: some scratch buffer of the sort cannot be had.
    result = run_python(f"""
        import resource, numpy as np, vexo
        arr = np.random.default_rng(1).integers(-10**18, 10**18, size=1 << 22, dtype=np.int64)
        with open("/proc/self/status") as status:
            vm_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        limit = (vm_kib << 10) + (16 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        vexo.{name}(arr)
        print("sorted")
    """)
    assert result.returncode == -signal.SIGABRT, result.stderr
    assert re.fullmatch(r"memory allocation of \d+ bytes failed\n", result.stderr), result.stderr
    assert result.stdout == ""
