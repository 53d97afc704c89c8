"""The sorts whose behaviour changes at a length or a digit count, through the module: every
pattern at the sizes just around each threshold, values of every decimal length, fault
reports naming each algorithm's unit, and quick's stack use on its quadratic inputs."""

import re

import numpy as np
import pytest

from conftest import run_python
from vexo import _vexo, patterns

INT64 = np.iinfo(np.int64)

# pdq: small-range limit 24/25 and medians of thirds from 128; tim: runs of 16 to 32 and
# their multiples (70 and 513 leave short last runs); intro: every size up past twice its
# small-range limit of 16; merge halves them all. 3000 lets quick's quadratic inputs nest
# thousands of levels in left-first recursion while still finishing fast.
THRESHOLD_SIZES = {
    "pdq": [2, 3, 24, 25, 26, 127, 128, 129, 1025],
    "tim": [31, 32, 33, 63, 64, 65, 70, 513, 1024, 1025],
    "radix": [0, 1, 2, 3, 1000],
    "intro": [*range(0, 40), 63, 64, 65],
    "merge": [0, 1, 2, 3, 17, 33, 1025],
    "quick": [0, 1, 2, 3, 16, 17, 3000],
}


def assert_sorts(name: str, arr: np.ndarray) -> None:
    expected = np.sort(arr)
    assert getattr(_vexo, name)(arr) is None
    np.testing.assert_array_equal(arr, expected)


@pytest.mark.parametrize("name", THRESHOLD_SIZES)
@pytest.mark.parametrize("pattern", patterns.NAMES)
def test_every_pattern_around_every_threshold(name, pattern):
    for n in THRESHOLD_SIZES[name]:
        assert_sorts(name, patterns.make(pattern, n, seed=n))


@pytest.mark.parametrize("name", ["radix", "pdq", "tim", "smart"])
@pytest.mark.parametrize("digits", range(1, 20))
def test_values_of_every_digit_count(name, digits):
    top = INT64.max if digits == 19 else 10**digits - 1
    values = np.random.default_rng(digits).integers(-top, top, size=300, dtype=np.int64, endpoint=True)
    assert_sorts(name, np.concatenate([values, np.array([top, -top, 10 ** (digits - 1), 0, INT64.min], dtype=np.int64)]))


@pytest.mark.parametrize("name", THRESHOLD_SIZES)
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
