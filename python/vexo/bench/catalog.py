"""What the bench can time: the module's functions, NumPy's sorts, and which cases to skip.

A contender is anything that sorts a contiguous int64 array in place. The module's
functions are offered exactly as far as this build's `__all__` lists them, so the bench
runs on a partial build too.
"""

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field

import numpy as np

from vexo import _vexo, patterns

BASELINE = "numpy.sort"  # the default kind, always measured
STABLE_REFERENCE = "numpy.sort(stable)"
# numpy.sort held to its AVX2 sort, measured in a child process where NumPy's default
# dispatch includes AVX-512: on some such CPUs its int64 sort is several times slower than
# the AVX2 one, and a ratio to the slower NumPy would flatter. Ratios are then taken to the
# faster of the two.
HELD_BASELINE = "numpy.sort (AVX2)"

# Work a quadratic case may cost before the bench skips it, in element steps (one compare
# plus at most one move). bubble, the slowest per step, needs about 0.4 s for 2e8 steps on
# the 2-core reference machine, so a call at the cap stays under a second with headroom
# for a loaded machine; the cap for plain quadratic cases works out at 20000 elements.
QUADRATIC_STEP_LIMIT = 200_000_000

# quick partitions around the last element of each range and sends equal elements left,
# so a sorted run, or a run of equal values, gives up one element per full pass. The
# figure is how many independent runs a pattern falls into: each costs its length squared
# over two, so n*n / (2*runs) steps in all (small_range and sawtooth: one run per value).
QUICK_QUADRATIC_RUNS = {
    "ascending": 1,
    "descending": 1,
    "organ_pipe": 1,
    "all_equal": 1,
    "few_distinct": patterns.FEW_DISTINCT_COUNT,
    "extremes": len(patterns.EXTREME_VALUES),
    "sawtooth": patterns.SAWTOOTH_PERIOD,
    "small_range": patterns.SMALL_RANGE[1] - patterns.SMALL_RANGE[0] + 1,
}

# bubble and insertion are treated as quadratic on every pattern: their few linear cases
# (ascending input) are not worth a rule of their own.
ALWAYS_QUADRATIC = {"bubble", "insertion"}


@dataclass(frozen=True)
class Contender:
    """Something the bench times: a name, an in-place sort, and where it is quadratic."""

    name: str
    sort: Callable[[np.ndarray], object]  # sorts its argument in place
    quadratic_runs: Mapping[str, int] = field(default_factory=dict)
    quadratic_everywhere: bool = False

    def size_cap(self, pattern: str) -> int | None:
        """The largest size still timed on `pattern`, or None when it is never quadratic."""
        runs = 1 if self.quadratic_everywhere else self.quadratic_runs.get(pattern)
        if runs is None:
            return None
        return math.isqrt(2 * runs * QUADRATIC_STEP_LIMIT)

    def skips(self, pattern: str, size: int) -> bool:
        cap = self.size_cap(pattern)
        return cap is not None and size > cap


def _numpy_sort(kind: str) -> Callable[[np.ndarray], None]:
    def sort(arr: np.ndarray) -> None:
        arr.sort(kind=kind)

    return sort


def module_contender(name: str, sort: Callable[[np.ndarray], object]) -> Contender:
    """The contender for the module function `name`, with its quadratic cases.

    Parameters
    ----------
    name : str
        The function's name in the module.
    sort : callable
        What sorts an array in place under that name.

    Returns
    -------
    Contender
        Skips quick's quadratic patterns, and bubble's and insertion's every pattern,
        beyond the sizes QUADRATIC_STEP_LIMIT allows.
    """
    return Contender(
        name,
        sort,
        quadratic_runs=QUICK_QUADRATIC_RUNS if name == "quick" else {},
        quadratic_everywhere=name in ALWAYS_QUADRATIC,
    )


def available() -> dict[str, Contender]:
    """Every contender this build offers.

    Returns
    -------
    dict of str to Contender
        NumPy's two sorts (BASELINE and STABLE_REFERENCE), then the module's functions in
        table order, as far as this build's `__all__` lists them, by name.
    """
    contenders = {
        BASELINE: Contender(BASELINE, _numpy_sort("quicksort")),
        STABLE_REFERENCE: Contender(STABLE_REFERENCE, _numpy_sort("stable")),
    }
    for name in _vexo.__all__:
        contenders[name] = module_contender(name, getattr(_vexo, name))
    return contenders
