"""Timing: one measurement per (contender, pattern, size), checked before it counts.

Every timed call sorts a fresh copy of the input (an array sorted in place would be
sorted input for the next round), and only the call itself is inside the clock. Its
result is then compared with `numpy.sort` of the same data: a wrong result discards the
timings of that measurement, so no figure in the report comes from a sort that failed.
"""

import gc
import statistics
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np

from vexo import patterns as pattern_generators

from .catalog import BASELINE, Contender
from .status import ERROR, OK, SKIPPED_QUADRATIC, WRONG

# Calls a measurement makes before its time budget may stop it: a median of three still
# shrugs off one disturbed call.
MIN_CALLS = 3
# Calls shorter than a timer's jitter and a scheduler's tick are repeated beyond --repeat
# until they add up to this much, for a stable median at small sizes...
SHORT_MEASUREMENT_NS = 10_000_000
# ...but no more often than this: enough calls for the median of a 1000-element sort.
MAX_CALLS = 100

# Warm-up size: above every parallel split threshold (8192 for par_merge), so the pool's
# threads exist before the first timed call; first calls also pay for NumPy's C-API import.
WARM_UP_SIZE = 20_000
# A quadratic sort warms up on 1/16 of its cap, 1/256 of a capped call's time.
WARM_UP_QUADRATIC_DIVISOR = 16


@dataclass
class Measurement:
    """One contender on one pattern of one size: its status and every timed call."""

    function: str
    pattern: str
    size: int
    status: str
    times_ns: list[int] = field(default_factory=list)
    detail: str = ""
    ratio: float | None = None  # median time over the baseline's median on the same data
    baseline: str = ""  # the contender the ratio is to

    def ns_per_element(self, statistic: Callable[[Sequence[int]], float]) -> float | None:
        if not self.times_ns:
            return None
        return statistic(self.times_ns) / self.size

    @property
    def median(self) -> float | None:
        return self.ns_per_element(statistics.median)

    @property
    def spread(self) -> float | None:
        """Half the interquartile range of the calls' times, relative to their median.

        Quartiles rather than the extremes: one call disturbed by another process would
        otherwise swamp the figure; the raw times keep the extremes.
        """
        if not self.times_ns:
            return None
        if len(self.times_ns) == 1:
            return 0.0
        lower, _, upper = statistics.quantiles(self.times_ns, n=4, method="inclusive")
        return (upper - lower) / 2 / statistics.median(self.times_ns)


def describe_mismatch(result: np.ndarray, expected: np.ndarray) -> str:
    if result.shape != expected.shape:
        return f"shape {result.shape} instead of {expected.shape}"
    first = int(np.flatnonzero(result != expected)[0])
    return f"first difference at index {first}: {result[first]} instead of {expected[first]}"


def enough(calls: int, spent_ns: int, repeat: int, budget_ns: int) -> bool:
    """Whether a measurement of `calls` calls that took `spent_ns` in all may stop."""
    if spent_ns >= budget_ns and calls >= min(MIN_CALLS, repeat):
        return True
    return calls >= repeat and (spent_ns >= SHORT_MEASUREMENT_NS or calls >= MAX_CALLS)


def timed_call(contender: Contender, work: np.ndarray) -> tuple[int, str]:
    """(ns the call took, "") or (0, the error it raised as "Type: message").

    Every failure of one contender is reported for that contender alone: vexo's
    PanicException derives from BaseException, so catching Exception would let a fault in
    one function stop the whole run. Only an interrupt or an exit stops it.
    """
    try:
        start = time.perf_counter_ns()
        contender.sort(work)
        return time.perf_counter_ns() - start, ""
    except KeyboardInterrupt, SystemExit:
        raise
    except BaseException as error:
        return 0, f"{type(error).__name__}: {error}"


def measure(
    contender: Contender,
    pattern: str,
    data: np.ndarray,
    expected: np.ndarray,
    repeat: int,
    budget_ns: int,
) -> Measurement:
    """Times calls of `contender` on fresh copies of `data`, checking each result.

    Parameters
    ----------
    contender : Contender
        What is timed.
    pattern : str
        The name of `data`'s pattern, for the record.
    data : numpy.ndarray
        The input, copied afresh for every call and never sorted itself.
    expected : numpy.ndarray
        `data` sorted, which every call's result must equal.
    repeat : int
        Calls at least, more while they are short (see `enough`).
    budget_ns : int
        The time after which a measurement stops at MIN_CALLS calls or more.

    Returns
    -------
    Measurement
        OK with every call's time; or WRONG or ERROR, without times, at the first call
        that gave a wrong result or raised (an interrupt or an exit still stops the run).
    """
    found = Measurement(contender.name, pattern, data.size, OK)
    spent = 0
    while not enough(len(found.times_ns), spent, repeat, budget_ns):
        work = data.copy()
        elapsed, error = timed_call(contender, work)
        if error:
            return Measurement(contender.name, pattern, data.size, ERROR, detail=error)
        if not np.array_equal(work, expected):
            return Measurement(
                contender.name, pattern, data.size, WRONG, detail=describe_mismatch(work, expected)
            )
        found.times_ns.append(elapsed)
        spent += elapsed
    return found


def warm_up(contenders: Sequence[Contender], seed: int) -> None:
    """Calls every contender once, untimed, so no first-call cost lands in a measurement."""
    for contender in contenders:
        cap = contender.size_cap("random")
        size = WARM_UP_SIZE if cap is None else min(WARM_UP_SIZE, cap // WARM_UP_QUADRATIC_DIVISOR)
        # A broken contender shows up in its own measurements.
        timed_call(contender, pattern_generators.make("random", size, seed))


Progress = Callable[[str], None]  # called once per finished measurement, with its label


def run_suite(
    contenders: Sequence[Contender],
    pattern_names: Sequence[str],
    sizes: Sequence[int],
    *,
    repeat: int,
    budget_ns: int,
    seed: int,
    progress: Progress = lambda label: None,
) -> list[Measurement]:
    """Measures every contender on every pattern and size, smallest sizes first.

    Parameters
    ----------
    contenders : sequence of Contender
        What is timed, in the order each cell lists them.
    pattern_names : sequence of str
        Names out of vexo.patterns.NAMES.
    sizes : sequence of int
        The input sizes.
    repeat, budget_ns : int
        How many calls a measurement makes and how long it may take (see `measure`).
    seed : int
        The seed of the pattern generators.
    progress : callable, optional
        Called with a label after every measurement.

    Returns
    -------
    list of Measurement
        Size by size, pattern by pattern, contender by contender; quadratic cases beyond
        their cap SKIPPED_QUADRATIC and never called. Each ratio is filled in against the
        BASELINE measurement of the same data when the contenders include it.

    Notes
    -----
    The garbage collector is off while it runs: a collection inside a timed call would
    be charged to the sort.
    """
    results = []
    was_enabled = gc.isenabled()
    gc.disable()  # a collection inside a timed call would be charged to the sort
    try:
        warm_up(contenders, seed)
        for size in sizes:
            for pattern in pattern_names:
                data = pattern_generators.make(pattern, size, seed)
                expected = np.sort(data)
                cell = []
                for contender in contenders:
                    if contender.skips(pattern, size):
                        cell.append(Measurement(contender.name, pattern, size, SKIPPED_QUADRATIC))
                    else:
                        cell.append(measure(contender, pattern, data, expected, repeat, budget_ns))
                    progress(f"{contender.name} {pattern} n={size}")
                fill_ratios(cell)
                results.extend(cell)
    finally:
        if was_enabled:
            gc.enable()
    return results


def fill_ratios(cell: Sequence[Measurement], name: str = BASELINE) -> None:
    """Sets each measurement's ratio to the median of contender `name` on the same data."""
    baseline = next((m for m in cell if m.function == name and m.status == OK), None)
    for measurement in cell:
        measurement.ratio, measurement.baseline = None, ""
        if baseline is not None and measurement.status == OK:
            measurement.ratio = measurement.median / baseline.median
            measurement.baseline = name


def faster(results: Sequence[Measurement], names: Sequence[str]) -> str:
    """Of the contenders `names`, the faster over the sizes where all of them were timed:
    the lowest geometric mean of its median ns per element. The first when none was."""
    medians = {
        name: {m.size: m.median for m in results if m.function == name and m.status == OK}
        for name in names
    }
    common = set.intersection(*(set(sizes) for sizes in medians.values()))
    if not common:
        return names[0]
    return min(names, key=lambda name: statistics.geometric_mean(medians[name][s] for s in common))


def against_the_faster(results: list[Measurement], baselines: Sequence[str]) -> list[Measurement]:
    """Fills every ratio against the faster of `baselines`, chosen pattern by pattern."""
    patterns = dict.fromkeys(m.pattern for m in results)
    for pattern in patterns:
        of_pattern = [m for m in results if m.pattern == pattern]
        name = faster(of_pattern, baselines)
        for size in dict.fromkeys(m.size for m in of_pattern):
            fill_ratios([m for m in of_pattern if m.size == size], name)
    return results
