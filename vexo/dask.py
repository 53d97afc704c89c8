"""Sorting dask arrays with vexo: a sample sort whose every local sort is vexo's.

    >>> import dask.array as da, numpy as np
    >>> import vexo.dask
    >>> x = da.from_array(np.array([3, 1, 2, 5, 4]), chunks=2)
    >>> vexo.dask.sort(x).compute()
    array([1, 2, 3, 4, 5])

`sort` is a sample sort (Frazer and McKellar's samplesort, with the splitters taken by
regular sampling of the sorted chunks, as in Shi and Schaeffer's PSRS). Each step is one
layer of the graph, its tasks (Task and TaskRef) named after it, as Dask builds its own
algorithms (dask/array/percentile.py, the task shuffle of dask.dataframe):

1. ``vexo-sort-chunk``: every input chunk is copied and the copy sorted by vexo, on the
   worker that holds the chunk;
2. ``vexo-sample``: each sorted chunk yields its length and OVERSAMPLING evenly spaced
   samples per output partition, starting at a seeded random offset;
3. ``vexo-splitters`` (one task): the splitters, picked from all the samples;
4. ``vexo-count``: each sorted chunk counts its elements below and equal to every
   splitter (a binary search);
5. ``vexo-cut-points`` (one task): the counts turned into exact cut points, so that
   output partition j gets piece j of every sorted chunk;
6. ``vexo-cut``: piece j of sorted chunk i, cut on the worker that holds the chunk (a
   view: only the piece travels; a copy where the data spills, see
   vexo._dask_placement, which also picks the worker of every merge);
7. ``vexo-merge``: output partition j (chunk j of the result), its pieces merged into a
   new array by vexo's two-run merge, in a tree (vexo._dask_native), with the
   interpreter lock released so that the worker's transfers go on meanwhile.

Steps 1 to 5 run when `sort` is called, in one computation: the output's chunk sizes
depend on the values. The sorted chunks stay on their workers, for as long as the
returned array's graph holds them; steps 6 and 7 are the returned array's graph, and its
output chunks are the merges themselves. Where the data spills, step 6 is started at
call time too, and the sorted chunks go as they are cut.

No task changes its input. Dask may hand one result to several tasks, compute a task
again after a worker is lost, or keep a persisted result for a later computation: each
must find its inputs as they were. vexo sorts in place, so a task sorts only a buffer it
owns: the sort step a copy of its chunk; the merge reads its pieces and writes a new
array.

Balance: a sample of chunk i stands for the len_i / (OVERSAMPLING * parts) elements up to
the next one, so each splitter's global rank is known to within n / (OVERSAMPLING * parts),
an eighth of an ideal partition. Equal values are interchangeable, so where a run of one
value straddles a partition boundary the boundary is placed inside the run, by count: the
output stays balanced on two-valued and all-equal input too.

Workers: vexo's sorts hold the interpreter lock while they sort (the merges release it),
so the threads of one worker process sort one chunk at a time, and its communication
waits meanwhile. Run one worker process per core, one task thread each
(`LocalCluster(n_workers=cores, threads_per_worker=1)`, `dask worker --nthreads 1`): of
the shapes measured on 2 cores (docs/dask.md), that one was the fastest. vexo's parallel
pool reads RAYON_NUM_THREADS once, when a process first uses it: set it in every
worker's environment to that worker's share of the cores
(`LocalCluster(env={"RAYON_NUM_THREADS": "1"})`, or export it before starting
`dask worker`, or before the first compute on the processes scheduler), so that the
pools of the worker processes do not compete for the same cores.
"""

import operator
from collections.abc import Iterable, Sequence

import dask
import dask.array as da
import numpy as np
from dask._task_spec import Task, TaskRef, parse_input
from dask.base import tokenize
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph, MaterializedLayer

from . import _dask_native, _dask_placement, _vexo

__all__ = ["sort"]

# Samples per output partition from every chunk. Each splitter's rank is then off by at
# most 1/OVERSAMPLING of an ideal partition, so a partition is at most 1 + 2/16 = 1.125
# times the ideal size (the promise is 1.25); the splitters task sorts
# chunks * parts * 16 samples.
OVERSAMPLING = 16
SAMPLE_SEED = 0x5EED_5027  # a fixed seed: the same input always gets the same splitters

# Which vexo function does each step, chosen by timing every candidate on the shapes each
# step sees (docs/dask.md, "Choosing the local sorts", has the tables and their commands).
# An input chunk can be any pattern; par_sort_unstable is never far from the best.
CHUNK_SORT = _vexo.par_sort_unstable
# A partition is one sorted piece per input chunk, merged into one new array by a tree of
# two-run merges (vexo._dask_native), with the interpreter lock released.

WANTED_DTYPE = np.dtype(np.int64)


def sort(x: da.Array, npartitions: int | None = None) -> da.Array:
    """A new dask array of `x`'s values in ascending order, with known chunk sizes.

    Parameters
    ----------
    x : dask.array.Array
        A one-dimensional dask array of an int64-equivalent dtype, left as it is. Unknown
        (nan) chunk sizes are found on the way; empty chunks are fine.
    npartitions : int, optional
        The number of output chunks, as in dask.dataframe: from 1 to the number of
        elements (1 for an empty array). Default: as many as `x` has chunks, or as it has
        elements where that is fewer. Each holds an equal share of the elements, within
        1.25 times the ideal size whatever the values.

    Returns
    -------
    dask.array.Array
        The sorted values, int64, in `npartitions` chunks of known sizes. Its graph cuts
        the sorted chunks and merges the pieces, and holds the sorted chunks (where they
        would spill, their pieces) for as long as it lives.

    Raises
    ------
    TypeError
        `x` is not a dask array, not one-dimensional or not of an int64 dtype (the
        messages of vexo's own functions), or `npartitions` is not an integer.
    ValueError
        `npartitions` is below 1, or above the number of elements of a non-empty `x`.

    Notes
    -----
    At call time, in one computation on the current scheduler: every chunk of `x` is
    copied and sorted, the sorted chunks are sampled, and the cut points of the output
    partitions found, because the output's chunk sizes depend on the values. The sorted
    chunks stay persisted (on their workers, on a distributed cluster). Where `x` has
    unknown chunk sizes, the sorted chunks' sizes are found first, in a computation of
    their own, to check `npartitions`.

    Lazy, in the returned array's graph: cutting the sorted chunks into pieces, sending
    them, and merging each partition's pieces; its output chunks are the merges
    themselves. Where the sorted chunks would spill (on a distributed cluster, beyond
    half the workers' memory), the pieces are copies, cut at call time and persisted
    like the sorted chunks, which then go. No task changes its input, so the result can
    be computed again, or by several consumers.

    On a distributed cluster, run one thread per worker process and give each process's
    vexo pool its share of the cores (see the module's docstring).

    Examples
    --------
    >>> import dask.array as da, numpy as np
    >>> import vexo.dask
    >>> x = da.from_array(np.array([3, 1, 2, 5, 4]), chunks=2)
    >>> vexo.dask.sort(x, npartitions=2).chunks
    ((2, 3),)
    """
    _check_argument(x)
    wanted = _npartitions_asked(npartitions)
    sorted_chunks = x.map_blocks(
        _sorted_copy,
        dtype=WANTED_DTYPE,
        meta=np.empty(0, WANTED_DTYPE),
        name="vexo-sort-chunk",
    )
    if any(np.isnan(size) for size in x.chunks[0]):
        (sorted_chunks,) = dask.persist(sorted_chunks)
        sorted_chunks.compute_chunk_sizes()
    parts = _npartitions(wanted, sorted_chunks)
    token = tokenize(x, parts, OVERSAMPLING, SAMPLE_SEED)
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


def _npartitions_asked(npartitions) -> int | None:
    """`npartitions` as an int, checked before anything is computed: an integer, from 1."""
    if npartitions is None:
        return None
    try:
        parts = operator.index(npartitions)
    except TypeError:
        raise TypeError(
            f"argument 'npartitions': '{type(npartitions).__qualname__}' object cannot be "
            "interpreted as an integer"
        ) from None
    if parts < 1:
        raise ValueError(f"argument 'npartitions': must be at least 1, got {parts}")
    return parts


def _npartitions(wanted: int | None, sorted_chunks: da.Array) -> int:
    """The number of output partitions, once the number of elements is known: every
    partition but the only one of an empty array holds at least one element, if the
    counts allow it (the balance promise cannot hold otherwise)."""
    elements = int(sum(sorted_chunks.chunks[0]))
    most = max(1, elements)
    if wanted is None:
        return min(sorted_chunks.numblocks[0], most)
    if wanted > most:
        raise ValueError(
            f"argument 'npartitions': {wanted} partitions of {elements} elements; at most {most}"
        )
    return wanted


# The graph ---------------------------------------------------------------------------
#
# Every layer is one step, made by `_layer` from its tasks and the collections it reads,
# as Dask builds its own (HighLevelGraph.from_collections over Task and TaskRef). A step
# that later steps read is handed on as Delayed objects, one per key (as to_delayed
# does); the first of them stands for its whole layer.


def _layer(
    name: str, tasks: Sequence[Task], inputs: Sequence, annotations: dict | None = None
) -> HighLevelGraph:
    """A graph of the collections `inputs` and a new layer `name` of `tasks` on top."""
    layer = MaterializedLayer({task.key: task for task in tasks}, annotations=annotations)
    return HighLevelGraph.from_collections(name, layer, dependencies=list(inputs))


def _delayed_layer(name: str, tasks: Sequence[Task], inputs: Sequence) -> list[Delayed]:
    """The new layer's tasks as Delayed objects, one per task."""
    graph = _layer(name, tasks, inputs)
    return [Delayed(task.key, graph, layer=name) for task in tasks]


def _cut_points_graph(sorted_chunks: da.Array, parts: int, token: str) -> Delayed:
    """Steps 2 to 5 on top of the sorted chunks: one task whose result is the cut points."""
    chunks = [TaskRef(key) for key in sorted_chunks.__dask_keys__()]
    sample, splitters, count, cut_points = (
        f"vexo-{step}-{token}" for step in ("sample", "splitters", "count", "cut-points")
    )
    samples = _delayed_layer(
        sample,
        [Task((sample, i), _regular_sample, c, parts, i) for i, c in enumerate(chunks)],
        [sorted_chunks],
    )
    sample_refs = _references(item.key for item in samples)
    (chosen,) = _delayed_layer(
        splitters, [Task((splitters, 0), _splitters, sample_refs, parts)], samples[:1]
    )
    counts = _delayed_layer(
        count,
        [Task((count, i), _splitter_counts, c, TaskRef(chosen.key)) for i, c in enumerate(chunks)],
        [sorted_chunks, chosen],
    )
    (found,) = _delayed_layer(
        cut_points,
        [
            Task(
                (cut_points, 0),
                _cut_points,
                _references(item.key for item in counts),
                sample_refs,
                parts,
            )
        ],
        [counts[0], samples[0]],
    )
    return found


def _references(keys: Iterable):
    """A task argument: the list of the results of the tasks `keys`."""
    return parse_input([TaskRef(key) for key in keys])


def _merged(sorted_chunks: da.Array, cuts: np.ndarray, token: str) -> da.Array:
    """Steps 6 and 7: the array whose chunk j is partition j merged, empty ones included."""
    merge = f"vexo-merge-{token}"
    plan = _dask_placement.exchange_plan(sorted_chunks, cuts)
    pieces, by_partition = _pieces(sorted_chunks, cuts, f"vexo-cut-{token}", plan)
    if pieces is not None and plan.own_pieces:
        # Copies stand on their own: cut now, they let the sorted chunks go (from memory,
        # or from the disk they spilled to) as soon as each is cut.
        (pieces,) = dask.persist(pieces)
    merges = [
        Task((merge, j), _merged_partition, _references(keys))
        for j, keys in enumerate(by_partition)
    ]
    # Without pieces (no elements at all) the merges read nothing.
    graph = _layer(merge, merges, [] if pieces is None else [pieces], plan.merge_annotations)
    sizes = tuple(int(size) for size in np.diff(cuts, axis=1).sum(axis=0))
    return da.Array(graph, merge, chunks=(sizes,), meta=np.empty(0, WANTED_DTYPE))


def _pieces(
    sorted_chunks: da.Array, cuts: np.ndarray, name: str, plan: _dask_placement.ExchangePlan
) -> tuple[da.Array | None, list[list]]:
    """Step 6: every non-empty piece, chunk by chunk (an empty piece is not worth a task),
    as one array of the pieces' lengths (None where there is none), and the keys of each
    partition's pieces, found in the same pass over the cut points."""
    tasks: list[Task] = []
    lengths: list[int] = []
    by_partition: list[list] = [[] for _ in range(cuts.shape[1] - 1)]
    for i, key in enumerate(sorted_chunks.__dask_keys__()):
        for j in np.flatnonzero(cuts[i, 1:] > cuts[i, :-1]):
            start, stop = int(cuts[i, j]), int(cuts[i, j + 1])
            piece = (name, len(tasks))
            tasks.append(Task(piece, _piece, TaskRef(key), start, stop, plan.own_pieces))
            lengths.append(stop - start)
            by_partition[j].append(piece)
    if not tasks:
        return None, by_partition
    graph = _layer(name, tasks, [sorted_chunks], plan.cut_annotations)
    meta = np.empty(0, WANTED_DTYPE)
    return da.Array(graph, name, chunks=(tuple(lengths),), meta=meta), by_partition


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
    """The sorted pieces of one output partition merged into a new array.

    The pieces are read, never written: a piece may be a view of a sorted chunk that
    other tasks read too, or a read-only buffer after a transfer. The merge wants them
    aligned, which a transfer or a trip to disk may not leave them.
    """
    merged = np.empty(sum(len(piece) for piece in pieces), WANTED_DTYPE)
    _dask_native.merge_sorted([np.require(piece, WANTED_DTYPE, "CA") for piece in pieces], merged)
    return merged
