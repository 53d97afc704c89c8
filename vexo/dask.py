"""Sorting dask arrays with vexo: a sample sort whose every local sort is vexo's.

    >>> import dask.array as da, numpy as np
    >>> import vexo.dask
    >>> x = da.from_array(np.array([3, 1, 2, 5, 4]), chunks=2)
    >>> vexo.dask.sort(x).compute()
    array([1, 2, 3, 4, 5])

`sort` is a sample sort (Frazer and McKellar's samplesort, with the splitters taken by
regular sampling of the sorted chunks, as in Shi and Schaeffer's PSRS). Each step is one
layer of the graph, its tasks named after it, as Dask builds its own algorithms
(dask/array/percentile.py, the task shuffle of dask.dataframe):

1. ``vexo-sort-chunk``: every input chunk is copied and the copy sorted by vexo, on the
   worker that holds the chunk;
2. ``vexo-sample``: each sorted chunk yields its length and OVERSAMPLING evenly spaced
   samples per output chunk, starting at a seeded random offset;
3. ``vexo-splitters`` (one task): the splitters, picked from all the samples;
4. ``vexo-count``: each sorted chunk counts its elements below and equal to every
   splitter (a binary search);
5. ``vexo-cut-points`` (one task): the counts turned into exact cut points, so that
   output chunk j gets piece j of every sorted chunk;
6. ``vexo-cut``: piece j of sorted chunk i, cut on the worker that holds the chunk (a
   view: only the piece travels; a copy where the data spills, see _exchange_plan);
7. ``vexo-merge``: output chunk j, the concatenation of its pieces sorted by vexo, which
   finds them as sorted runs and merges them.

Steps 1 to 5 run when `sort` is called, in one computation: the output's chunk sizes
depend on the values. The sorted chunks stay on their workers, for as long as the
returned array's graph holds them; steps 6 and 7 are the returned array's graph, and its
output chunks are the merges themselves.

No task changes its input. Dask may hand one result to several tasks, compute a task
again after a worker is lost, or keep a persisted result for a later computation: each
must find its inputs as they were. vexo sorts in place, so a task sorts only a buffer it
owns: the sort step a copy of its chunk, the merge the concatenation of its pieces, which
is a new array (and aligned and writeable, whatever the pieces were after a transfer or a
trip to disk).

Balance: a sample of chunk i stands for the len_i / (OVERSAMPLING * parts) elements up to
the next one, so each splitter's global rank is known to within n / (OVERSAMPLING * parts),
an eighth of an ideal partition. Equal values are interchangeable, so where a run of one
value straddles a partition boundary the boundary is placed inside the run, by count: the
output stays balanced on two-valued and all-equal input too.

Workers: every vexo call holds the interpreter lock while it sorts, so the threads of
one worker process sort one chunk at a time, and its communication waits meanwhile; big
chunks want one thread per worker process (`LocalCluster(threads_per_worker=1)`,
`dask worker --nthreads 1`), and as many processes as there are cores. vexo's parallel
pool reads RAYON_NUM_THREADS once, when a process first uses it: set it in every
worker's environment to that worker's share of the cores
(`LocalCluster(env={"RAYON_NUM_THREADS": "1"})`, or export it before starting
`dask worker`, or before the first compute on the processes scheduler), so that the
pools of the worker processes do not compete for the same cores.
"""

import operator
from dataclasses import dataclass

import dask
import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph, MaterializedLayer

from . import _vexo

__all__ = ["sort"]

# Samples per output partition from every chunk. Each splitter's rank is then off by at
# most 1/OVERSAMPLING of an ideal partition, so a partition is at most 1 + 2/16 = 1.125
# times the ideal size (the promise is 1.25); the splitters task sorts
# chunks * parts * 16 samples.
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

# The share of the workers' memory (their limits, together) beyond which the sorted chunks
# are taken to spill. Dask starts spilling a worker's data at 60% of its limit; the rest
# of a worker's memory goes to the tasks running, the transfers and the interpreter.
OUT_OF_CORE_SHARE = 0.5

WANTED_DTYPE = np.dtype(np.int64)


def sort(x: da.Array, chunks: int | None = None) -> da.Array:
    """A new dask array of `x`'s values in ascending order, with known chunk sizes.

    Parameters
    ----------
    x : dask.array.Array
        A one-dimensional dask array of an int64-equivalent dtype, left as it is. Unknown
        (nan) chunk sizes are found on the way; empty chunks are fine.
    chunks : int, optional
        The number of output chunks (default: as many as `x` has). They hold equal shares
        of the elements, within 1.25 times the ideal size whatever the values.

    Returns
    -------
    dask.array.Array
        The sorted values, int64, with known chunk sizes. Its graph cuts the sorted chunks
        and merges the pieces, and holds the sorted chunks in memory (or spilled, on a
        cluster) for as long as it lives.

    Raises
    ------
    TypeError
        `x` is not a dask array, not one-dimensional or not of an int64 dtype (the
        messages of vexo's own functions), or `chunks` is not an integer.
    ValueError
        `chunks` is below 1.

    Notes
    -----
    Sorting the chunks and finding the cut points happen now, in one computation on the
    current scheduler (the output's chunk sizes depend on the values); cutting,
    exchanging and merging happen when the result is computed. No task changes its
    input, so the result can be computed again or by several consumers.
    """
    _check_argument(x)
    parts = _parts(x, chunks)
    token = tokenize(x, parts, OVERSAMPLING, SAMPLE_SEED)
    sorted_chunks = x.map_blocks(
        _sorted_copy,
        dtype=WANTED_DTYPE,
        meta=np.empty(0, WANTED_DTYPE),
        name="vexo-sort-chunk",
    )
    # One computation for both: the processes scheduler starts its pool once, and a
    # distributed cluster samples and counts the sorted chunks where they lie.
    sorted_chunks, cut_points = dask.persist(
        sorted_chunks, _cut_points_graph(sorted_chunks, parts, token)
    )
    cuts = cut_points.compute()
    return _merged(sorted_chunks, cuts, token)


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
            f"argument 'chunks': '{type(chunks).__qualname__}' object cannot be "
            "interpreted as an integer"
        ) from None
    if parts < 1:
        raise ValueError(
            f"argument 'chunks': the number of output chunks must be at least 1, got {parts}"
        )
    return parts


# The graph ---------------------------------------------------------------------------


def _cut_points_graph(sorted_chunks: da.Array, parts: int, token: str) -> Delayed:
    """Steps 2 to 5 on top of the sorted chunks: one task whose result is the cut points."""
    chunk_keys = sorted_chunks.__dask_keys__()
    sample = f"vexo-sample-{token}"
    splitters = f"vexo-splitters-{token}"
    count = f"vexo-count-{token}"
    cut_points = f"vexo-cut-points-{token}"
    sample_keys = [(sample, i) for i in range(len(chunk_keys))]
    count_keys = [(count, i) for i in range(len(chunk_keys))]
    layers = {
        sample: {
            key: (_regular_sample, chunk, parts, i)
            for i, (key, chunk) in enumerate(zip(sample_keys, chunk_keys, strict=True))
        },
        splitters: {(splitters, 0): (_splitters, sample_keys, parts)},
        count: {
            key: (_splitter_counts, chunk, (splitters, 0))
            for key, chunk in zip(count_keys, chunk_keys, strict=True)
        },
        cut_points: {(cut_points, 0): (_cut_points, count_keys, sample_keys, parts)},
    }
    dependencies = {
        sample: {sorted_chunks.name},
        splitters: {sample},
        count: {sorted_chunks.name, splitters},
        cut_points: {count, sample},
    }
    graph = sorted_chunks.__dask_graph__()
    graph = HighLevelGraph({**graph.layers, **layers}, {**graph.dependencies, **dependencies})
    return Delayed((cut_points, 0), graph, layer=cut_points)


def _merged(sorted_chunks: da.Array, cuts: np.ndarray, token: str) -> da.Array:
    """Steps 6 and 7: the array whose chunk j is partition j merged, empty ones included."""
    cut = f"vexo-cut-{token}"
    merge = f"vexo-merge-{token}"
    parts = cuts.shape[1] - 1
    plan = _exchange_plan(sorted_chunks, cuts)
    pieces = {
        (cut, i, j): (_piece, chunk, int(cuts[i, j]), int(cuts[i, j + 1]), plan.own_pieces)
        for i, chunk in enumerate(sorted_chunks.__dask_keys__())
        for j in range(parts)
        if cuts[i, j + 1] > cuts[i, j]  # an empty piece is not worth a task
    }
    merges = {
        (merge, j): (_merged_partition, [key for key in pieces if key[2] == j])
        for j in range(parts)
    }
    graph = sorted_chunks.__dask_graph__()
    graph = HighLevelGraph(
        {
            **graph.layers,
            cut: MaterializedLayer(pieces, annotations=plan.cut_annotations),
            merge: MaterializedLayer(merges, annotations=plan.merge_annotations),
        },
        # Without pieces (no elements at all) neither layer depends on anything.
        {
            **graph.dependencies,
            cut: {sorted_chunks.name} if pieces else set(),
            merge: {cut} if pieces else set(),
        },
    )
    sizes = tuple(int(size) for size in np.diff(cuts, axis=1).sum(axis=0))
    return da.Array(graph, merge, chunks=(sizes,), meta=np.empty(0, WANTED_DTYPE))


# The tasks ---------------------------------------------------------------------------


def _sorted_copy(block: np.ndarray) -> np.ndarray:
    """A sorted copy of an input chunk, which may be persisted or shared by other tasks."""
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


def _splitters(sampled: list, parts: int) -> np.ndarray:
    """parts - 1 values whose global ranks lie close to total * j / parts.

    Each sample stands for the elements of its chunk up to the next sample: sorting all
    samples by value and adding up what they stand for estimates the rank of each.
    """
    total = sum(length for length, _ in sampled)
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


def _cut_points(counts: list, sampled: list, parts: int) -> np.ndarray:
    """cuts[i, j]: where piece j of sorted chunk i begins (cuts[i, parts] = its length).

    Boundary j of the output lies among the elements equal to splitter j: after all the
    smaller ones, before all the larger ones, and within that range as close to the
    ideal rank as it gets. The equal elements below the boundary are taken from the
    chunks in order, which keeps every chunk's cuts non-decreasing (splitters and
    boundaries both are).
    """
    lengths = np.array([length for length, _ in sampled], np.int64).reshape(-1, 1)
    counts = np.array(counts, np.int64).reshape(len(lengths), 2, parts - 1)
    below, at_most = counts[:, 0, :], counts[:, 1, :]
    ideal = (np.arange(1, parts) * int(lengths.sum())) // parts
    boundaries = np.clip(ideal, below.sum(axis=0), at_most.sum(axis=0))
    equal_taken = boundaries - below.sum(axis=0)
    equal = at_most - below
    # Chunk i takes what the chunks before it left of the equal elements, up to its own.
    before = np.cumsum(equal, axis=0) - equal
    taken = np.clip(equal_taken - before, 0, equal)
    return np.hstack([np.zeros_like(lengths), below + taken, lengths])


def _piece(chunk: np.ndarray, start: int, stop: int, own: bool) -> np.ndarray:
    """Elements start to stop of a sorted chunk: a view, so that only they are sent, or,
    where the data spills (`own`), a copy, which lets the chunk go to disk and its memory
    be freed (a view would hold on to the whole chunk while Dask counts only the view)."""
    return chunk[start:stop].copy() if own else chunk[start:stop]


def _merged_partition(pieces: list) -> np.ndarray:
    """The pieces of one output partition, each sorted, concatenated into a new array and
    sorted there: a merge of runs, which par_sort finds as such."""
    if not pieces:
        return np.empty(0, np.int64)
    merged = np.concatenate(pieces)
    if len(pieces) > 1:
        PARTITION_SORT(merged)
    return merged


# Where the merges run ----------------------------------------------------------------


@dataclass(frozen=True)
class _ExchangePlan:
    own_pieces: bool = False  # copies rather than views
    cut_annotations: dict | None = None
    merge_annotations: dict | None = None


def _exchange_plan(sorted_chunks: da.Array, cuts: np.ndarray) -> _ExchangePlan:
    """Where the merges run and how the pieces are cut, on a distributed cluster (any
    other scheduler holds everything in one process, and has no say in either).

    Each merge goes to a worker that already holds many of its elements, every worker
    taking its share of the partitions. Left to itself, the scheduler puts a merge where
    most of its pieces lie, so a worker that holds a few more sorted chunks gets nearly
    every merge while the others wait (14 of 20 on one of two workers, measured at 10^8
    elements). Choosing by what each worker holds keeps ordered input where it is: chunk
    i of a nearly sorted array is mostly partition i, and is not sent anywhere. The hint
    lets another worker take a merge when the named one is busy.

    When the sorted chunks take more than OUT_OF_CORE_SHARE of the workers' memory, they
    spill, and Dask reads a spilled chunk back whole for every task that uses it: cut one
    piece at a time, partition by partition, every chunk would be read once per output
    chunk. So there every worker cuts its chunks first, one chunk after the other, all
    pieces of each while it is in memory (a priority above the merges', falling with the
    chunk's index), into copies that spill on their own.
    """
    client = _distributed_client()
    if client is None:
        return _ExchangePlan()
    info = client.scheduler_info()["workers"]
    workers = sorted(info)
    held = np.zeros((len(workers), cuts.shape[1] - 1), np.int64)
    where = client.who_has(sorted_chunks)
    for i, key in enumerate(sorted_chunks.__dask_keys__()):
        holders = [workers.index(address) for address in where.get(key, ()) if address in workers]
        if holders:
            held[holders[0]] += np.diff(cuts[i])
    homes = [workers[w] for w in _balanced_homes(held)]
    merge_annotations = {"workers": lambda key: [homes[key[1]]], "allow_other_workers": True}
    memory = sum(worker.get("memory_limit") or 0 for worker in info.values())
    if not memory or int(cuts[:, -1].sum()) * WANTED_DTYPE.itemsize <= OUT_OF_CORE_SHARE * memory:
        return _ExchangePlan(merge_annotations=merge_annotations)
    chunks = len(cuts)
    return _ExchangePlan(
        own_pieces=True,
        cut_annotations={"priority": lambda key: 1 + chunks - key[1]},
        merge_annotations=merge_annotations,
    )


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
