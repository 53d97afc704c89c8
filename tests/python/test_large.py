"""Arrays past 2^31 elements (opt-in: VEXO_LARGE=1; about 17 GiB of memory, a few minutes
each, so run with -o faulthandler_timeout=1800). Indexes, counts and split points must not
wrap at 32 bits anywhere. The array is the only copy: the checksum before and after and
the order are computed chunk by chunk."""

import os

import numpy as np
import pytest

from vexo import _vexo

N = 2**31 + 17
CHUNK = 1 << 24
MASK = (1 << 64) - 1

pytestmark = pytest.mark.skipif(
    os.environ.get("VEXO_LARGE") != "1", reason="needs about 17 GiB: run with VEXO_LARGE=1"
)


def checksum(a: np.ndarray) -> tuple[int, int]:
    """Two order-independent sums mod 2^64: of the values, and of a mix of their bits."""
    total = mixed = 0
    for start in range(0, len(a), CHUNK):
        chunk = a[start : start + CHUNK].view(np.uint64)
        total = (total + int(chunk.sum(dtype=np.uint64))) & MASK
        mixed = (
            mixed
            + int(
                ((chunk * np.uint64(0x9E3779B97F4A7C15)) ^ (chunk >> np.uint64(29))).sum(
                    dtype=np.uint64
                )
            )
        ) & MASK
    return total, mixed


def is_sorted(a: np.ndarray) -> bool:
    """Every adjacent pair in order; chunks overlap by one element."""
    for start in range(0, len(a) - 1, CHUNK):
        stop = min(start + CHUNK, len(a) - 1)
        if not np.all(a[start:stop] <= a[start + 1 : stop + 1]):
            return False
    return True


@pytest.mark.parametrize(
    "name, pattern", [("par_sort_unstable", "random"), ("smart", "random"), ("pdq", "descending")]
)
def test_sorts_past_two_to_the_31(name, pattern):
    if pattern == "random":
        a = np.empty(N, dtype=np.int64)
        rng = np.random.default_rng(31)
        for start in range(0, N, CHUNK):
            a[start : start + CHUNK] = rng.integers(
                -(2**63), 2**63, size=min(CHUNK, N - start), dtype=np.int64
            )
    else:
        a = np.arange(N, 0, -1, dtype=np.int64)
    before = checksum(a)
    getattr(_vexo, name)(a)
    assert is_sorted(a)
    assert checksum(a) == before
    if pattern == "descending":
        assert a[0] == 1 and a[-1] == N
