"""Sorting dask arrays with vexo: a sample sort whose every local sort is vexo's.

    >>> import dask.array as da, numpy as np
    >>> import vexo.dask
    >>> x = da.from_array(np.array([3, 1, 2, 5, 4]), chunks=2)
    >>> vexo.dask.sort(x).compute()
    array([1, 2, 3, 4, 5])

`sort` is a sample sort (Frazer and McKellar's samplesort, with the splitters taken by
regular sampling of the sorted chunks, as in Shi and Schaeffer's PSRS):

1. every input chunk is sorted by vexo on the worker that holds it, and kept there;
2. each sorted chunk yields OVERSAMPLING evenly spaced samples per output partition,
   starting at a seeded random offset, and the client picks the splitters from them;
3. each sorted chunk counts its elements below and equal to every splitter (a binary
   search), and the client turns the counts into exact cut points, so that output
   partition j gets piece j of every chunk;
4. the pieces of each output partition are brought together, one after the other, on
   the worker that will merge them (the sorted chunks are then let go);
5. each output partition is sorted where it lies, with vexo.

Steps 1 to 4 run when `sort` is called (the output's chunk sizes must be known); step 5
is left in the returned array's graph.

Balance: a sample of chunk i stands for the len_i / (OVERSAMPLING * parts) elements up to
the next one, so each splitter's global rank is known to within n / (OVERSAMPLING * parts),
an eighth of an ideal partition. Equal values are interchangeable, so where a run of one
value straddles a partition boundary the boundary is placed inside the run, by count: the
output stays balanced on two-valued and all-equal input too.

Workers: every vexo call holds the interpreter lock while it sorts, so the threads of
one worker process sort one chunk at a time; big chunks want one thread per worker
process (`LocalCluster(threads_per_worker=1)`, `dask worker --nthreads 1`), and as many
processes as there are cores. vexo's parallel pool reads RAYON_NUM_THREADS once, when a
process first uses it: set it in every worker's environment to that worker's share of
the cores (`LocalCluster(env={"RAYON_NUM_THREADS": "1"})`, or export it before starting
`dask worker`, or before the first compute on the processes scheduler).
"""

import operator

import dask
import dask.array as da
import numpy as np
from dask.highlevelgraph import HighLevelGraph

from . import _vexo

__all__ = ["sort"]

# Samples per output partition from every chunk. Each splitter's rank is then off by at
# most 1/OVERSAMPLING of an ideal partition, so a partition is at most 1 + 2/16 = 1.125
# times the ideal size (the promise is 1.25); the client sorts chunks * parts * 16 samples.
OVERSAMPLING = 16
SAMPLE_SEED = 0x5EED_5027  # a fixed seed: the same input always gets the same splitters

# Which vexo function does each step, chosen by timing every candidate on the shapes each
# step sees: 4e6 elements, a one-thread pool as in a worker of a 2-core LocalCluster, ns per
# element (median of 3) on a 2-core EPYC; numpy.sort (its AVX2 sort) for scale only.
#
# An input chunk can be any pattern. par_sort_unstable is never far from the best:
#                   par_sort_unstable  smart  par_sort  pdq  radix  numpy.sort
#   random                 16            16      25      71   148      11
#   small_range             7             6      26     205    30       5
#   ascending               0.8          31       0.8     0.4  34      10
#   nearly_sorted          17            49      25      12    33      12
#   few_distinct            3            49      20     268    23       1
#   organ_pipe             21            20       7     127    28      11
CHUNK_SORT = _vexo.par_sort_unstable
# A partition is the concatenation of one sorted piece per input chunk. par_sort finds
# and merges the runs; smart (which hands run-rich input to tim) does not pay here:
#                   par_sort  par_merge  par_sort_unstable  smart  pdq  tim  radix
#   8 runs, random       6       12             20            20    25   27   127
#   80 runs, random      8       15             17            17    37   32   126
#   80 runs, small_range 10      16              8            33   172   35    21
PARTITION_SORT = _vexo.par_sort

WANTED_DTYPE = np.dtype(np.int64)


def sort(x: da.Array, chunks: int | None = None) -> da.Array:
    """A new dask array of `x`'s values in ascending order, with known chunk sizes.

    `x`: a one-dimensional dask array of an int64-equivalent dtype, left as it is.
    `chunks`: the number of output chunks (default: as many as `x` has); they hold
    equal shares of the elements, within 1.25 times the ideal size whatever the values.
    Unknown (nan) chunk sizes of `x` are found on the way. Sorting the chunks, sampling
    them, cutting them and exchanging the pieces happen now; the final merges are left in
    the graph, and the exchanged pieces stay in memory (or spilled, on a cluster) for as
    long as it lives.
    """
    _check_argument(x)
    parts = _parts(x, chunks)
    sorted_chunks, sampled = _sorted_and_sampled(x, parts)
    lengths = [length for length, _ in sampled]
    splitters = _splitters(sampled, parts, sum(lengths))
    counts = dask.compute(
        *(dask.delayed(_splitter_counts)(chunk, splitters) for chunk in sorted_chunks)
    )
    cuts = _cut_points(
        np.array(counts, dtype=np.int64).reshape(len(lengths), 2, len(splitters)), lengths, parts
    )
    gathered = _gathered_partitions(sorted_chunks, cuts)
    del sorted_chunks  # every piece has been copied out: the sorted chunks can go
    return _merged_partitions(gathered, np.diff(cuts, axis=1).sum(axis=0))


def _argument_error(message: str) -> TypeError:
    return TypeError(f"argument 'x': {message}")


def _check_argument(x) -> None:
    """The refusals of vexo's own functions, for a dask array in place of an ndarray."""
    if not isinstance(x, da.Array):
        raise _argument_error(
            f"'{type(x).__qualname__}' object cannot be converted to 'dask.array.Array'"
        )
    if x.ndim != 1:
        raise _argument_error(f"dimensionality mismatch:\n from={x.ndim}, to=1")
    if x.dtype != WANTED_DTYPE:  # dtype equality is NumPy's equivalence test
        raise _argument_error(f"type mismatch:\n from={x.dtype}, to={WANTED_DTYPE}")


def _parts(x, chunks) -> int:
    if chunks is None:
        return max(1, x.numblocks[0])
    try:
        parts = operator.index(chunks)
    except TypeError:
        raise TypeError(
            f"argument 'chunks': '{type(chunks).__qualname__}' object cannot be interpreted as an integer"
        ) from None
    if parts < 1:
        raise ValueError(
            f"argument 'chunks': the number of output chunks must be at least 1, got {parts}"
        )
    return parts


def _sorted_and_sampled(x, parts: int):
    """The sorted chunks, kept where they were computed, and each one's length and sample.

    One persist does both: a scheduler that starts its processes per call (dask's
    processes scheduler) starts them once, and the samples are read from the sorted
    chunks while those are still in memory.
    """
    # Unoptimised: Dask's optimised to_delayed loses the data of an array persisted on a
    # distributed cluster and hands on the keys instead.
    blocks = x.to_delayed(optimize_graph=False).ravel()
    sorted_chunks = [dask.delayed(_sorted_chunk, pure=True)(block) for block in blocks]
    samples = [
        dask.delayed(_regular_sample, pure=True)(chunk, parts, index)
        for index, chunk in enumerate(sorted_chunks)
    ]
    persisted = dask.persist(*sorted_chunks, *samples)
    # Computing a persisted sample only fetches it.
    return persisted[: len(sorted_chunks)], dask.compute(*persisted[len(sorted_chunks) :])


def _sorted_chunk(block: np.ndarray) -> np.ndarray:
    """A sorted copy: the input chunk may be a persisted or shared array of `x`."""
    ours = np.array(block, dtype=np.int64, order="C", copy=True)
    CHUNK_SORT(ours)
    return ours


def _regular_sample(chunk: np.ndarray, parts: int, index: int) -> tuple[int, np.ndarray]:
    """The chunk's length and up to OVERSAMPLING * parts of its elements, evenly spaced
    from a seeded random offset (the offset keeps periodic data from lining up with the
    spacing). A chunk shorter than that gives all its elements."""
    length = len(chunk)
    wanted = OVERSAMPLING * parts
    if length <= wanted:
        return length, chunk.copy()
    offset = np.random.default_rng([SAMPLE_SEED, index]).random()
    positions = ((np.arange(wanted) + offset) * (length / wanted)).astype(np.int64)
    return length, chunk[positions]


def _splitters(sampled, parts: int, total: int) -> np.ndarray:
    """parts - 1 values whose global ranks lie close to total * j / parts.

    Each sample stands for the elements of its chunk up to the next sample: sorting all
    samples by value and adding up what they stand for estimates the rank of each.
    """
    values = np.concatenate([sample for _, sample in sampled] + [np.empty(0, np.int64)])
    weights = np.concatenate(
        [np.full(len(sample), length / max(len(sample), 1)) for length, sample in sampled]
        + [np.empty(0)]
    )
    order = np.argsort(values, kind="stable")
    values, covered = values[order], np.cumsum(weights[order])
    if len(values) == 0:
        return np.zeros(parts - 1, dtype=np.int64)
    targets = np.arange(1, parts) * (total / parts)
    picks = np.minimum(np.searchsorted(covered, targets), len(values) - 1)
    return values[picks]


def _splitter_counts(chunk: np.ndarray, splitters: np.ndarray) -> np.ndarray:
    """How many elements of the sorted chunk lie below each splitter, then how many are
    at most each splitter."""
    return np.stack(
        [
            np.searchsorted(chunk, splitters, side="left"),
            np.searchsorted(chunk, splitters, side="right"),
        ]
    )


def _cut_points(counts: np.ndarray, lengths: list[int], parts: int) -> np.ndarray:
    """cuts[i, j]: where piece j of sorted chunk i begins (cuts[i, parts] = its length).

    Boundary j of the output lies among the elements equal to splitter j: after all the
    smaller ones, before all the larger ones, and within that range as close to the
    ideal rank as it gets. The equal elements below the boundary are taken from the
    chunks in order, which keeps every chunk's cuts non-decreasing (splitters and
    boundaries both are).
    """
    below, at_most = counts[:, 0, :], counts[:, 1, :]
    total = sum(lengths)
    ideal = (np.arange(1, parts) * total) // parts
    boundaries = np.clip(ideal, below.sum(axis=0), at_most.sum(axis=0))
    equal_taken = boundaries - below.sum(axis=0)
    equal = at_most - below
    # Chunk i takes what the chunks before it left of the equal elements, up to its own.
    before = np.cumsum(equal, axis=0) - equal
    taken = np.clip(equal_taken - before, 0, equal)
    inner = below + taken
    chunks = len(lengths)
    return np.hstack(
        [np.zeros((chunks, 1), np.int64), inner, np.array(lengths, np.int64).reshape(chunks, 1)]
    )


def _piece(chunk: np.ndarray, start: int, stop: int) -> np.ndarray:
    return chunk[start:stop]


def _gathered_partition(*pieces: np.ndarray) -> np.ndarray:
    """The pieces of one output partition, each sorted, one after the other."""
    return np.concatenate(pieces) if pieces else np.empty(0, np.int64)


def _gathered_partitions(sorted_chunks, cuts: np.ndarray) -> list:
    """Every output partition's pieces, brought together on the worker that will merge
    them (persisted, and waited for).

    The exchange ends before the first merge starts: a vexo call holds the interpreter
    lock of its worker process for the whole sort, which stops that worker from sending
    its pieces to the others in the meantime. At 10^8 elements on 2 workers, exchange and
    merges interleaved took 0.98 s; one after the other, 0.28 s and 0.54 s.
    """
    homes = _merge_workers(sorted_chunks, cuts)
    gathered = []
    for j, home in enumerate(homes):
        # A piece is cut on the worker that holds its chunk, so only the piece travels.
        pieces = [
            dask.delayed(_piece, pure=True)(chunk, int(cuts[i, j]), int(cuts[i, j + 1]))
            for i, chunk in enumerate(sorted_chunks)
            if cuts[i, j + 1] > cuts[i, j]
        ]
        with dask.annotate(**home):
            gathered.append(dask.delayed(_gathered_partition, pure=True)(*pieces))
    return _persisted(gathered)


def _merged_in_place(gathered: np.ndarray) -> np.ndarray:
    """The gathered partition, sorted where it lies.

    Sorting in place leaves the persisted partition sorted; that is safe because sorting
    is idempotent: computing the result again sorts sorted data. A partition that comes
    back from disk or from another process may be read-only, or lie at any byte offset
    of the buffer it was read into (Dask unspills a partition that way): vexo sorts
    neither, so such a partition is copied first.
    """
    merged = np.require(gathered, requirements=["ALIGNED", "WRITEABLE", "C_CONTIGUOUS"])
    PARTITION_SORT(merged)
    return merged


def _merged_partitions(gathered: list, sizes: np.ndarray) -> da.Array:
    """The array whose chunk j is partition j merged, empty partitions included (which
    da.concatenate would drop)."""
    merged = [dask.delayed(_merged_in_place, pure=True)(part) for part in gathered]
    name = "vexo-sorted-" + dask.base.tokenize(*merged)
    chunks = {(name, j): part.key for j, part in enumerate(merged)}  # each an alias of its merge
    graph = HighLevelGraph.from_collections(name, chunks, dependencies=merged)
    return da.Array(
        graph, name, chunks=(tuple(int(size) for size in sizes),), meta=np.empty(0, np.int64)
    )


def _persisted(values: list) -> list:
    """`values` persisted, once they are all in memory (on a distributed cluster, persist
    returns before that)."""
    persisted = dask.persist(*values)
    if _distributed_client() is not None:
        from distributed import wait

        wait(persisted)
    return list(persisted)


def _merge_workers(sorted_chunks, cuts: np.ndarray) -> list[dict]:
    """Where each partition's pieces are brought together and merged: on a distributed
    cluster, a worker that already holds many of its elements, every worker taking its
    share of the partitions; elsewhere anywhere (no annotation).

    Left to itself, the scheduler puts a merge where most of its pieces lie, so a worker
    that holds a few more sorted chunks gets nearly every merge while the others wait
    (14 of 20 on one of two workers, measured at 10^8 elements). Choosing by what each
    worker holds keeps ordered input where it is: chunk i of a nearly sorted array is
    mostly partition i, and is not sent anywhere. The hint lets another worker take a
    merge when the named one is busy.
    """
    parts = cuts.shape[1] - 1
    client = _distributed_client()
    if client is None:
        return [{}] * parts
    workers = sorted(client.scheduler_info()["workers"])
    held = np.zeros((len(workers), parts), np.int64)
    where = client.who_has([chunk.__dask_graph__()[chunk.key] for chunk in sorted_chunks])
    for i, chunk in enumerate(sorted_chunks):
        holders = [
            workers.index(address) for address in where.get(chunk.key, ()) if address in workers
        ]
        if holders:
            held[holders[0]] += np.diff(cuts[i])
    return [{"workers": [workers[w]], "allow_other_workers": True} for w in _balanced_homes(held)]


def _balanced_homes(held: np.ndarray) -> list[int]:
    """A worker for every partition, given held[w, j], the elements of partition j that
    worker w holds: the largest holdings first, while the worker has fewer than its share
    of the partitions (the partitions are of equal size within 1.25 times)."""
    workers, parts = held.shape
    share = -(-parts // workers)
    homes = [-1] * parts
    taken = [0] * workers
    # Largest holding first; on ties partition by partition, and the workers in turn.
    for _, j, _, w in sorted(
        (-int(held[w, j]), j, (w - j) % workers, w) for w in range(workers) for j in range(parts)
    ):
        if homes[j] < 0 and taken[w] < share:
            homes[j], taken[w] = w, taken[w] + 1
    return homes


def _distributed_client():
    """The distributed client that computes dask collections here and now, if any."""
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        client = default_client()
    except ValueError:  # no client
        return None
    return client if dask.base.get_scheduler() == client.get else None
