"""Named input patterns with a seed: the data vexo's Python tests and its benchmark sort.

The names and recipes are those of the C++ side (testing/patterns.hpp), so a pattern
means the same shape of data in every layer. The random streams differ (NumPy's PCG64
here, mt19937_64 there): equal seeds give equal arrays within one language only.

    >>> from vexo import patterns
    >>> patterns.make("organ_pipe", 7)
    array([0, 1, 2, 3, 2, 1, 0])
"""

from collections.abc import Callable

import numpy as np

INT64_MIN = np.iinfo(np.int64).min
INT64_MAX = np.iinfo(np.int64).max

# Recipe constants, the same as the C++ generators use.
SMALL_RANGE = (-1000, 1000)  # 2001 values: many repeats at benchmark sizes, yet not "few"
FEW_DISTINCT_COUNT = 8  # few enough that every value repeats n/8 times
FEW_DISTINCT_STEP = 1_000_003  # spreads the eight values beyond any small-range test
FEW_DISTINCT_OFFSET = -4  # puts one value below zero, so sign handling is exercised
NEARLY_SORTED_DIVISOR = 32  # n/32 + 1 swapped pairs: at most about 6% of elements displaced
SAWTOOTH_PERIOD = 97  # a prime, so teeth never line up with power-of-two block sizes
ALL_EQUAL_VALUE = 42
EXTREME_VALUES = (INT64_MIN, INT64_MAX, 0, -1, 1, INT64_MIN + 1, INT64_MAX - 1)

Generator = Callable[[int, np.random.Generator], np.ndarray]


def _random(n: int, rng: np.random.Generator) -> np.ndarray:
    return rng.integers(INT64_MIN, INT64_MAX, size=n, dtype=np.int64, endpoint=True)


def _small_range(n: int, rng: np.random.Generator) -> np.ndarray:
    low, high = SMALL_RANGE
    return rng.integers(low, high, size=n, dtype=np.int64, endpoint=True)


def _ascending(n: int, rng: np.random.Generator) -> np.ndarray:
    return np.arange(n, dtype=np.int64)


def _descending(n: int, rng: np.random.Generator) -> np.ndarray:
    return np.arange(n, 0, -1, dtype=np.int64)


def _nearly_sorted(n: int, rng: np.random.Generator) -> np.ndarray:
    values = np.arange(n, dtype=np.int64)
    pairs = min(n // NEARLY_SORTED_DIVISOR + 1, n // 2)
    # Distinct positions, so the swaps done all at once still give a permutation.
    positions = rng.choice(n, size=2 * pairs, replace=False)
    left, right = positions[:pairs], positions[pairs:]
    values[left], values[right] = values[right], values[left]
    return values


def _few_distinct(n: int, rng: np.random.Generator) -> np.ndarray:
    keys = rng.integers(0, FEW_DISTINCT_COUNT, size=n, dtype=np.int64)
    return keys * FEW_DISTINCT_STEP + FEW_DISTINCT_OFFSET


def _organ_pipe(n: int, rng: np.random.Generator) -> np.ndarray:
    index = np.arange(n, dtype=np.int64)
    return np.minimum(index, n - 1 - index)


def _sawtooth(n: int, rng: np.random.Generator) -> np.ndarray:
    return np.arange(n, dtype=np.int64) % SAWTOOTH_PERIOD


def _all_equal(n: int, rng: np.random.Generator) -> np.ndarray:
    return np.full(n, ALL_EQUAL_VALUE, dtype=np.int64)


def _extremes(n: int, rng: np.random.Generator) -> np.ndarray:
    return rng.choice(np.array(EXTREME_VALUES, dtype=np.int64), size=n)


GENERATORS: dict[str, Generator] = {
    "random": _random,
    "small_range": _small_range,
    "ascending": _ascending,
    "descending": _descending,
    "nearly_sorted": _nearly_sorted,
    "few_distinct": _few_distinct,
    "organ_pipe": _organ_pipe,
    "sawtooth": _sawtooth,
    "all_equal": _all_equal,
    "extremes": _extremes,
}

NAMES: tuple[str, ...] = tuple(GENERATORS)

DESCRIPTIONS: dict[str, str] = {
    "random": "random over the full int64 range",
    "small_range": f"random in [{SMALL_RANGE[0]}, {SMALL_RANGE[1]}]",
    "ascending": "0, 1, ..., n-1",
    "descending": "n, n-1, ..., 1",
    "nearly_sorted": f"ascending with n/{NEARLY_SORTED_DIVISOR}+1 random pairs swapped",
    "few_distinct": f"{FEW_DISTINCT_COUNT} distinct values in random order",
    "organ_pipe": "rising to the middle, then falling",
    "sawtooth": f"ascending teeth of {SAWTOOTH_PERIOD} values",
    "all_equal": "every element equal",
    "extremes": "random picks of the int64 limits and their neighbours",
}


def make(name: str, n: int, seed: int = 1) -> np.ndarray:
    """A fresh, writeable, contiguous int64 array of `n` elements of pattern `name`.

    Parameters
    ----------
    name : str
        One of NAMES (DESCRIPTIONS says what each holds).
    n : int
        The number of elements, 0 or more.
    seed : int, optional
        The seed of the random patterns' generator; the others ignore it.

    Returns
    -------
    numpy.ndarray
        The array. The same (name, n, seed) always gives the same array.

    Raises
    ------
    ValueError
        For an unknown `name` or a negative `n`.

    Examples
    --------
    >>> make("sawtooth", 5).tolist()
    [0, 1, 2, 3, 4]
    """
    try:
        generator = GENERATORS[name]
    except KeyError:
        raise ValueError(f"unknown pattern {name!r}; known: {', '.join(NAMES)}") from None
    if n < 0:
        raise ValueError(f"pattern length must be non-negative, got {n}")
    values = generator(n, np.random.default_rng(seed))
    return np.ascontiguousarray(values, dtype=np.int64)
