"""`smart`: every branch of its decision sorts correctly, and only the parallel branch
(more than 100000 elements) creates the worker pool."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from vexo import _vexo

from conftest import run_python
from test_sorting import arrays

# One input per branch of the decision table, named by the routine it reaches.
BRANCH_INPUTS = {
    "insertion (16)": "np.arange(16)[::-1].copy()",
    "tim (ascending)": "np.arange(50_000)",
    "tim (few distinct)": "rng.integers(0, 3, size=200_000)",
    "pdq (500 descending)": "np.arange(500)[::-1].copy()",
    "radix (50000 descending)": "np.arange(1, 50_001)[::-1].copy()",
    "pdq (wide 50000)": "(np.arange(1, 50_001) * 1_000_000)[::-1].copy()",
    "pdq (100000 wide random)": "rng.integers(-2**63, 2**63 - 1, size=100_000)",
    "parallel (100001)": "rng.integers(-2**63, 2**63 - 1, size=100_001)",
}


@pytest.mark.parametrize("branch", BRANCH_INPUTS)
def test_each_branch_sorts_and_only_the_parallel_one_starts_the_pool(branch):
    # A fresh process per branch: the pool, once made, lives until the process ends.
    result = run_python(f"""
        import os
        import numpy as np
        import vexo._vexo as m
        rng = np.random.default_rng(5)
        a = {BRANCH_INPUTS[branch]}.astype(np.int64)
        expected = np.sort(a)
        before = len(os.listdir("/proc/self/task"))
        assert m.smart(a) is None
        print(np.array_equal(a, expected), len(os.listdir("/proc/self/task")) > before)
    """, env={"RAYON_NUM_THREADS": "2"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", str(branch.startswith("parallel"))]


@pytest.mark.parametrize("max_length", [16, 999, 5000])
def test_equals_numpy_sort(max_length):
    @given(arrays(max_length))
    def check(a):
        expected = np.sort(a)
        assert _vexo.smart(a) is None
        assert np.array_equal(a, expected)

    check()


@given(st.sampled_from([1000, 4096, 100_000]), st.integers(0, 999_999), st.integers(-(2**62), 2**62))
def test_small_range_inputs_of_radix_size(n, span, offset):
    rng = np.random.default_rng(n + span)
    a = offset + rng.integers(0, span + 1, size=n, dtype=np.int64)
    expected = np.sort(a)
    _vexo.smart(a)
    assert np.array_equal(a, expected)
