"""The check of a distributed result, on the workers: each chunk's fingerprint (its count,
whether it is ascending, its first and last values, and its sum and xor mod 2^64), then
all of them combined in order: whether the chunks form one ascending array, and its
count, sum and xor, which must be the input's. Only the fingerprints leave the workers."""

import itertools
from collections.abc import Sequence

import numpy as np


def fingerprint(block) -> np.ndarray:
    """count, ascending?, first, last, sum and xor (mod 2^64) of one chunk."""
    values = np.asarray(block, dtype=np.int64).ravel()
    wrapped = values.view(np.uint64)
    if len(values) == 0:
        return np.zeros(6, np.uint64)
    ascending = bool(np.all(values[1:] >= values[:-1]))
    return np.array(
        [
            len(values),
            ascending,
            wrapped[0],
            wrapped[-1],
            wrapped.sum(dtype=np.uint64),
            np.bitwise_xor.reduce(wrapped),
        ],
        np.uint64,
    )


def combined(prints: Sequence[np.ndarray]) -> tuple[bool, tuple[int, int, int]]:
    """Whether the chunks, in order, form one ascending array, and its count, sum and xor."""
    filled = [p for p in prints if p[0]]
    ascending = all(bool(p[1]) for p in filled)
    bounds = [(int(p[2].view(np.int64)), int(p[3].view(np.int64))) for p in filled]
    ascending &= all(last <= first for (_, last), (first, _) in itertools.pairwise(bounds))
    count = sum(int(p[0]) for p in prints)
    total = sum(int(p[4]) for p in prints) % 2**64
    xor = 0
    for p in prints:
        xor ^= int(p[5])
    return ascending, (count, total, xor)


def distributed_fingerprint(collection) -> tuple[bool, tuple[int, int, int]]:
    """The check, one task per chunk (of an array or a frame): nothing but the
    fingerprints leaves the workers."""
    import dask

    # Unoptimised: Dask's optimised to_delayed loses the data of a collection persisted on a
    # distributed cluster and hands on the keys instead.
    parts = np.ravel(collection.to_delayed(optimize_graph=False))
    return combined(dask.compute(*(dask.delayed(fingerprint)(part) for part in parts)))
