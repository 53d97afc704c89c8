"""Sorting dask arrays with vexo: a sample sort whose every local sort is vexo's.

    >>> import dask.array as da, numpy as np
    >>> import vexo.dask
    >>> x = da.from_array(np.array([3, 1, 2, 5, 4]), chunks=2)
    >>> vexo.dask.sort(x).compute()
    array([1, 2, 3, 4, 5])

`sort` is a sample sort (Frazer and McKellar's samplesort, with the splitters taken by
regular sampling of the sorted chunks, as in Shi and Schaeffer's PSRS). Each step is one
layer of the graph, its tasks (Task and TaskRef) named after it and its name tokenized
from its inputs and arguments (a key names one value forever: two sorts of different
arrays never share a key, the same sort twice shares all of them), as Dask builds its
own algorithms (dask/array/percentile.py, the task shuffle of dask.dataframe):

1. ``vexo-sort-chunk``: every input chunk is checked, copied and the copy sorted by vexo,
   on the worker that holds the chunk; on a scheduler of one process, small consecutive
   chunks are copied into one array and sorted together, a few such runs a thread, so
   that the steps up to the exchange have a task a run, not a task a chunk (a sorted
   run stands for a sorted chunk in all that follows);
2. ``vexo-sample``: each sorted chunk yields its length and OVERSAMPLING evenly spaced
   samples per output partition, starting at a seeded random offset;
3. ``vexo-splitters`` (one task): the splitters, picked from all the samples;
4. ``vexo-bounds``: each sorted chunk finds where every partition's piece of it begins
   (a binary search per splitter);
5. ``vexo-sizes``: the partitions' sizes, summed from the bounds in a tree of at most
   MAX_BRANCH inputs a task, as Dask's own reductions are;
6. the exchange, ``vexo-cut-s`` and ``vexo-gather-s`` for stage s = 1, 2, ...: the pieces
   cut from the sorted runs where they lie (views: only the piece travels; copies where
   the data spills, see vexo._dask_placement, which also picks the worker of every
   merge), and gathered where they go;
7. ``vexo-merge``: output partition j (chunk j of the result), its pieces merged into a
   new array by vexo's two-run merge, in a tree (vexo._dask_native), with the
   interpreter lock released so that the worker's transfers go on meanwhile, through a
   scratch array the process keeps while merges keep coming (KeptScratch).

The exchange is the one step whose size depends on both the C input chunks and the P
output partitions. Where one of them is at most MAX_BRANCH, every chunk sends its piece
straight to every partition (C * P pieces, at most MAX_BRANCH times the larger count, and
the empty ones are left out). Otherwise, as in Dask's staged task shuffle, it runs in
``stages`` rounds over a common index space of ``radix ** stages`` slots, chunks and
partitions spread evenly over them: round s hands each run on to the slot that shares
its destination's first s digits, the most significant first, so every piece is a
contiguous slice of a sorted run, and each slot merges the at most ``radix`` runs it
receives into one. A round moves at most `radix` pieces from each of the slots, and the
slots number less than MAX_BRANCH * max(C, P): the graph grows with C + P.

Steps 1 to 5 run when `sort` is called, in one computation: the output's chunk sizes
depend on the values. The sorted chunks and their bounds stay persisted (on their
workers, on a distributed cluster), for as long as the returned array's graph holds them;
steps 6 and 7 are the returned array's graph, and its output chunks are the merges
themselves. Where the data spills, the first cut runs at call time too, and the sorted
chunks go as they are cut.

No task changes its input. Dask may hand one result to several tasks, compute a task
again after a worker is lost, or keep a persisted result for a later computation: each
must find its inputs as they were. vexo sorts in place, so a task sorts only a buffer it
owns: the sort step a copy of its chunk; the merges read their pieces and write a new
array.

Balance: the splitters order equal values by where they lie (chunk, then position), so
that every element has a rank of its own and a run of one value can straddle a
partition boundary. A sample of chunk i stands for the len_i / (OVERSAMPLING * parts)
elements up to the next one, so each splitter's global rank is known to within
n / (OVERSAMPLING * parts), an eighth of an ideal partition, on any input, two-valued
and all-equal included.

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

import math
import operator
import os
import threading
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

try:
    import dask
    import dask.array as da
except ImportError as missing:
    raise ImportError(
        "vexo.dask needs Dask: pip install 'vexo-sort[dask]' (dask[array] and distributed)"
    ) from missing
import numpy as np
from dask.base import tokenize
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph, MaterializedLayer
from dask.utils import parse_bytes

try:  # public since dask 2025.1
    from dask.task_spec import List, Task, TaskRef
except ImportError:  # dask 2024.11 and 2024.12: the private module, whose List came later
    from dask._task_spec import Task, TaskRef, parse_input

    def List(*items):  # noqa: N802  (stands for the class of later releases)
        """A task argument: the list of `items`, task references resolved."""
        return parse_input(list(items))


from . import _dask_native, _dask_placement, _vexo

__all__ = ["sort"]

# Samples per output partition from every chunk. Each splitter's rank is then off by at
# most 1/OVERSAMPLING of an ideal partition, so a partition is at most 1 + 2/16 = 1.125
# times the ideal size (the promise is 1.25); the splitters task sorts
# chunks * parts * 16 samples.
OVERSAMPLING = 16
SAMPLE_SEED = 0x5EED_5027  # a fixed seed: the same input always gets the same splitters
# The most inputs of one exchange or reduction task where both the chunks and the
# partitions outnumber it, as Dask's task shuffle bounds its own (its max_branch, 32):
# the graph grows with (chunks + partitions) * MAX_BRANCH, a merge of the exchange with
# log2(MAX_BRANCH) passes, and the data is merged once more each time the chunks and the
# partitions grow by this factor.
MAX_BRANCH = 32

# Which vexo function does each step, chosen by timing every candidate on the shapes each
# step sees (docs/dask.md, "Choosing the local sorts", has the tables and their commands).
# An input chunk can be any pattern; par_sort_unstable is never far from the best.
CHUNK_SORT = _vexo.par_sort_unstable
# Sorted runs per scheduler thread where one process holds every chunk and small chunks
# are sorted together (see _runs): enough that a thread which ends first finds another.
RUNS_PER_THREAD = 2
# A partition is one sorted piece per input chunk, merged into one new array by a tree of
# two-run merges (vexo._dask_native), with the interpreter lock released.
# Merges of at least this many elements (4 MiB) keep their scratch for the next one
# (KeptScratch); below, a fresh scratch is a few pages, often reused by the allocator.
KEPT_SCRATCH_FROM = 1 << 19

WANTED_DTYPE = np.dtype(np.int64)


# Frozen: see docs/compatibility.md.
def sort(x: da.Array, npartitions: int | None = None) -> da.Array:
    """A new dask array of `x`'s values in ascending order, with known chunk sizes.

    Parameters
    ----------
    x : dask.array.Array
        A one-dimensional dask array of an int64-equivalent dtype whose chunks are NumPy
        ndarrays, left as it is. Unknown (nan) chunk sizes are found on the way; empty
        chunks are fine.
    npartitions : int, optional
        The number of output chunks, as in dask.dataframe: from 1 to the number of
        elements (1 for an empty array). Default: enough for chunks of Dask's
        ``array.chunk-size`` (128 MiB unless configured otherwise), and at least one per
        thread of the scheduler (of the cluster's workers, on a distributed one), within
        the number of elements. Each holds an equal share of the elements, within 1.25
        times the ideal size whatever the values.

    Returns
    -------
    dask.array.Array
        The sorted values, int64, in `npartitions` chunks of known sizes. Its graph cuts
        the sorted chunks and merges the pieces, and holds the sorted chunks (where they
        would spill, their pieces) for as long as it lives.

    Raises
    ------
    TypeError
        `x` is not a dask array, not one-dimensional, not of an int64 dtype (the
        messages of vexo's own functions) or a masked array, or `npartitions` is not an
        integer. At compute time, in the task that sorts it: a chunk that is not a
        one-dimensional ndarray of native int64 (a masked one included), whatever `x`'s
        meta says, named by its index.
    ValueError
        `npartitions` is below 1, or above the number of elements of a non-empty `x`.

    Notes
    -----
    At call time, in one computation on the current scheduler: every chunk of `x` is
    copied and sorted, the sorted chunks are sampled, the splitters chosen, and each
    sorted chunk's bounds and the partitions' sizes found, because the output's chunk
    sizes depend on the values. That is about three tasks per chunk on a distributed
    cluster, and a tree of sums; on a scheduler of one process, small chunks are sorted
    together (RUNS_PER_THREAD runs a thread or more), so the tasks go by runs (at 10^4
    chunks of 300 elements, the call takes 0.5 s on the threads scheduler). The sorted
    chunks and their bounds stay persisted (on their workers, on a distributed
    cluster). Where `x` has unknown chunk sizes, the sorted chunks' sizes
    are found first, in a computation of their own, to check `npartitions`.

    Lazy, in the returned array's graph: the exchange of the pieces and each partition's
    merge; its output chunks are the merges themselves. Where the sorted chunks would
    spill (on a distributed cluster, beyond half the workers' memory), the first round
    of pieces are copies, cut at call time and persisted like the sorted chunks, which
    then go. No task changes its input, so the result can be computed again, or by
    several consumers.

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
    sorted_chunks = _sorted_chunks(x)
    if _sizes_unknown(x.chunks[0]):
        (sorted_chunks,) = dask.persist(sorted_chunks)
        sorted_chunks.compute_chunk_sizes()
    parts = _npartitions(wanted, sorted_chunks)
    exchange = Exchange.plan(sorted_chunks.numblocks[0], parts)
    token = tokenize(sorted_chunks.name, parts, OVERSAMPLING, SAMPLE_SEED, exchange)
    # Two computations: the sorted chunks and the splitters, then every chunk's bounds,
    # the splitters handed to each as a value. Dask's ordering of one graph in which a
    # single task both gathers from every chunk and feeds every chunk grows with the
    # square of the chunks (30 s at 8000 chunks, measured); each of these two is linear.
    sorted_chunks, chosen = dask.persist(
        sorted_chunks, _splitters_graph(sorted_chunks, parts, token)
    )
    bounds = _bounds_graph(sorted_chunks, chosen.compute(), token)
    (bounds,) = dask.persist(bounds)
    # A direct exchange fetches every chunk's bounds (at most MAX_BRANCH per chunk or per
    # partition) to leave its empty pieces out; a staged one only the sizes.
    if exchange.direct:
        cuts = bounds.compute()
        sizes = np.diff(cuts, axis=1).sum(axis=0)
    else:
        cuts = None
        sizes = np.diff(bounds.sum(axis=0, split_every=MAX_BRANCH).compute())
    return _merged(sorted_chunks, bounds, cuts, sizes, exchange, token)


def _argument_error(message: str) -> TypeError:
    # Frozen: see docs/compatibility.md.
    return TypeError(f"argument 'x': {message}")


def _check_argument(x) -> None:
    """The refusals of vexo's own functions, for a dask array in place of an ndarray."""
    if not isinstance(x, da.Array):
        # Frozen: see docs/compatibility.md.
        raise _argument_error(
            f"'{type(x).__qualname__}' object cannot be converted to 'dask.array.Array'"
        )
    if x.ndim != 1:
        # Frozen: see docs/compatibility.md.
        raise _argument_error(f"dimensionality mismatch:\n from={x.ndim}, to=1")
    if x.dtype != WANTED_DTYPE:  # dtype equality is NumPy's equivalence test
        # Frozen: see docs/compatibility.md.
        raise _argument_error(f"type mismatch:\n from={x.dtype}, to={WANTED_DTYPE}")
    if isinstance(x._meta, np.ma.MaskedArray):
        raise _argument_error(_MASKED)


# Frozen: see docs/compatibility.md.
_MASKED = (
    "a masked array cannot be sorted: its data would move and its mask would not, "
    "hiding valid values and showing masked ones"
)


def _npartitions_asked(npartitions) -> int | None:
    """`npartitions` as an int, checked before anything is computed: an integer, from 1."""
    if npartitions is None:
        return None
    try:
        parts = operator.index(npartitions)
    except TypeError:
        # Frozen: see docs/compatibility.md.
        raise TypeError(
            f"argument 'npartitions': '{type(npartitions).__qualname__}' object cannot be "
            "interpreted as an integer"
        ) from None
    if parts < 1:
        # Frozen: see docs/compatibility.md.
        raise ValueError(f"argument 'npartitions': must be at least 1, got {parts}")
    return parts


def _npartitions(wanted: int | None, sorted_chunks: da.Array) -> int:
    """The number of output partitions, once the number of elements is known: every
    partition but the only one of an empty array holds at least one element, if the
    counts allow it (the balance promise cannot hold otherwise)."""
    elements = int(sum(sorted_chunks.chunks[0]))
    most = max(1, elements)
    if wanted is None:
        target = parse_bytes(dask.config.get("array.chunk-size"))
        by_size = -(-elements * WANTED_DTYPE.itemsize // target)
        return min(max(by_size, _scheduler_threads()), most)
    if wanted > most:
        # Frozen: see docs/compatibility.md.
        raise ValueError(
            f"argument 'npartitions': {wanted} partitions of {elements} elements; at most {most}"
        )
    return wanted


def _scheduler_threads() -> int:
    """How many tasks the current scheduler runs at once: every merge can have one."""
    client = _dask_placement.distributed_client()
    if client is not None:
        return max(1, sum(client.nthreads().values()))
    return dask.config.get("num_workers", None) or dask.system.CPU_COUNT


def _sorted_chunks(x: da.Array) -> da.Array:
    """Step 1: `x`'s chunks sorted, each on its own, or consecutive ones together where
    `_runs` groups them."""
    groups = _runs(x.chunks[0])
    name = f"vexo-sort-chunk-{tokenize(x.name, groups)}"
    if len(groups) == x.numblocks[0]:  # blockwise: fused with the tasks that make x
        return x.map_blocks(
            _sorted_copy, dtype=WANTED_DTYPE, meta=np.empty(0, WANTED_DTYPE), name=name
        )
    keys = x.__dask_keys__()
    tasks = [
        Task((name, g), _sorted_group, _references(keys[start:stop]), start)
        for g, (start, stop) in enumerate(groups)
    ]
    sizes = tuple(int(sum(x.chunks[0][start:stop])) for start, stop in groups)
    return da.Array(_layer(name, tasks, [x]), name, chunks=(sizes,), meta=np.empty(0, WANTED_DTYPE))


def _sizes_unknown(sizes: Sequence[float]) -> bool:
    """Whether some chunk's size is unknown (nan), as after boolean indexing."""
    return any(map(math.isnan, sizes))


def _runs(sizes: Sequence[float]) -> list[tuple[int, int]]:
    """The input chunks sorted together, as (first, last) ranges (last exclusive): on a
    scheduler of one process, consecutive chunks until a run holds about 1 / RUNS_PER_THREAD
    of a thread's share of the elements (at most Dask's array.chunk-size); elsewhere, or
    where the chunk sizes are unknown, every chunk on its own.

    A task costs the threads scheduler about 0.4 ms, and every step before the exchange
    has one per sorted run: at 10^4 chunks of 300 elements, sorting them one by one took
    4 s a step for 0.1 s of sorting. One process holds every chunk, so a run of many
    costs a copy, which the sort makes anyway. A distributed cluster keeps each chunk on
    the worker that holds it."""
    chunks = len(sizes)
    if _dask_placement.distributed_client() is not None or _sizes_unknown(sizes):
        return [(i, i + 1) for i in range(chunks)]
    share = sum(sizes) / (RUNS_PER_THREAD * _scheduler_threads())
    most = min(share, parse_bytes(dask.config.get("array.chunk-size")) / WANTED_DTYPE.itemsize)
    runs, first, held = [], 0, 0
    for i, size in enumerate(sizes):
        if i > first and held + size > most:
            runs.append((first, i))
            first, held = i, 0
        held += size
    return runs + [(first, chunks)] if chunks else runs


# The exchange -------------------------------------------------------------------------


@dataclass(frozen=True)
class Exchange:
    """How the pieces of C sorted chunks reach P partitions: in `stages` rounds over
    radix ** stages slots, chunk i at slot `origin(i)`, partition j at `destination(j)`.
    After round s a run sits at the slot whose first s digits (base `radix`, the most
    significant first) are its partitions' destination's and whose others its origin's:
    the first round of a direct exchange (one stage, a digit as wide as the slots)
    reaches the partitions at once."""

    chunks: int
    parts: int
    stages: int
    radix: int

    @classmethod
    def plan(cls, chunks: int, parts: int) -> Exchange:
        wider = max(chunks, parts)
        if min(chunks, parts) <= MAX_BRANCH:
            return cls(chunks, parts, 1, wider)
        stages = 1
        while MAX_BRANCH**stages < wider:
            stages += 1
        radix = math.ceil(wider ** (1 / stages))
        while radix**stages < wider:  # the float root may fall a hair short
            radix += 1
        return cls(chunks, parts, stages, radix)

    @property
    def direct(self) -> bool:
        return self.stages == 1

    @property
    def slots(self) -> int:
        return self.radix**self.stages

    def origin(self, chunk: int) -> int:
        return chunk * self.slots // self.chunks

    def destination(self, part: int) -> int:
        return part * self.slots // self.parts

    def first_part_from(self, slot: int) -> int:
        """The first partition whose destination is at least `slot`."""
        return -(-slot * self.parts // self.slots)

    def rounds(self) -> Iterable[tuple[int, list[tuple[int, int, int, int]]]]:
        """Every round's moves, (round, [(from_slot, to_slot, first, last)]): the run at
        from_slot sends its partitions first to last (exclusive) to to_slot. Round 1
        starts from the chunks, whose runs hold every partition."""
        held = {self.origin(i): (0, self.parts) for i in range(self.chunks)}
        for stage in range(1, self.stages + 1):
            width = self.radix ** (self.stages - stage)  # slots per value of this digit
            moves = []
            for slot, (first, last) in held.items():
                # From partition to partition group: only the digits that the run's
                # partitions reach, at most `radix` and at most the partitions it holds.
                lo = first
                while lo < last:
                    begin = self.destination(lo) // width * width
                    hi = min(last, self.first_part_from(begin + width))
                    moves.append((slot, begin + slot % width, lo, hi))
                    lo = hi
            held = {to: (lo, hi) for _, to, lo, hi in moves}
            yield stage, moves


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


def _delayed_layer(
    name: str, tasks: Sequence[Task], inputs: Sequence, annotations: dict | None = None
) -> list[Delayed]:
    """The new layer's tasks as Delayed objects, one per task."""
    graph = _layer(name, tasks, inputs, annotations)
    return [Delayed(task.key, graph, layer=name) for task in tasks]


def _persisted(name: str, items: list[Delayed]) -> list[Delayed]:
    """`items`, the tasks of layer `name`, computed and held as one layer of their
    results (futures, on a distributed cluster)."""
    done = dask.persist(*items)
    layer = MaterializedLayer({item.key: item.__dask_graph__()[item.key] for item in done})
    graph = HighLevelGraph.from_collections(name, layer, dependencies=[])
    return [Delayed(item.key, graph, layer=name) for item in done]


def _references(keys: Iterable) -> List:
    """A task argument: the list of the results of the tasks `keys`."""
    return List(*(TaskRef(key) for key in keys))


def _splitters_graph(sorted_chunks: da.Array, parts: int, token: str) -> Delayed:
    """Steps 2 and 3 on top of the sorted chunks: every chunk's sample, gathered in a tree
    of MAX_BRANCH inputs a task, and the splitters picked from all of them."""
    sample, splitters = (f"vexo-{step}-{token}" for step in ("sample", "splitters"))
    level = _delayed_layer(
        sample,
        [
            Task((sample, i), _regular_sample, TaskRef(key), parts, i)
            for i, key in enumerate(sorted_chunks.__dask_keys__())
        ],
        [sorted_chunks],
    )
    depth = 0
    while len(level) > MAX_BRANCH:
        depth += 1
        name = f"{sample}-{depth}"
        groups = [level[g : g + MAX_BRANCH] for g in range(0, len(level), MAX_BRANCH)]
        level = _delayed_layer(
            name,
            [
                Task((name, g), _gathered, _references(item.key for item in group))
                for g, group in enumerate(groups)
            ],
            level[:1],
        )
    (chosen,) = _delayed_layer(
        splitters,
        [Task((splitters, 0), _splitters, _references(item.key for item in level), parts)],
        level[:1],
    )
    return chosen


def _bounds_graph(sorted_chunks: da.Array, splitters: np.ndarray, token: str) -> da.Array:
    """Step 4 on top of the persisted sorted chunks: row i holds chunk i's bounds."""
    bounds = f"vexo-bounds-{token}"
    rows = [
        Task((bounds, i, 0), _chunk_bounds, TaskRef(key), splitters, i)
        for i, key in enumerate(sorted_chunks.__dask_keys__())
    ]
    graph = _layer(bounds, rows, [sorted_chunks])
    chunking = ((1,) * len(rows), (splitters.shape[1] + 2,))
    return da.Array(graph, bounds, chunks=chunking, meta=np.empty((0, 0), np.int64))


def _merged(
    sorted_chunks: da.Array,
    bounds: da.Array,
    cuts: np.ndarray | None,
    sizes: np.ndarray,
    exchange: Exchange,
    token: str,
) -> da.Array:
    """Steps 6 and 7: the array whose chunk j is partition j merged, empty ones included."""
    merge = f"vexo-merge-{token}"
    plan = _dask_placement.exchange_plan(sorted_chunks, cuts)
    # The runs held at each slot, as (values, bounds, first partition): the sorted chunks
    # and their bounds, from partition 0, to begin with.
    chunk_keys = sorted_chunks.__dask_keys__()
    held = {
        exchange.origin(i): List(TaskRef(chunk), TaskRef(row), 0)
        for i, (chunk, (row,)) in enumerate(zip(chunk_keys, bounds.__dask_keys__(), strict=True))
    }
    chunk_at = {exchange.origin(i): i for i in range(exchange.chunks)}
    inputs: list = [sorted_chunks, bounds]
    for stage, moves in exchange.rounds():
        if cuts is not None:  # a direct exchange knows its empty pieces
            moves = [m for m in moves if cuts[chunk_at[m[0]], m[3]] > cuts[chunk_at[m[0]], m[2]]]
        cut = f"vexo-cut-{stage}-{token}"
        pieces = _delayed_layer(
            cut,
            [
                Task((cut, k), _cut, held[source], first, last, plan.own_pieces)
                for k, (source, _, first, last) in enumerate(moves)
            ],
            inputs,
            plan.cut_annotations(len(moves)),
        )
        if stage == 1 and plan.own_pieces:
            # Copies stand on their own: cut now, they let the sorted chunks go (from
            # memory, or from the disk they spilled to) as soon as each is cut.
            pieces = _persisted(cut, pieces)
        arriving: dict[int, list] = {}
        for piece, (_, target, _, _) in zip(pieces, moves, strict=True):
            arriving.setdefault(target, []).append(piece.key)
        inputs = pieces[:1]
        if stage == exchange.stages:
            break
        gather = f"vexo-gather-{stage}-{token}"
        gathered = _delayed_layer(
            gather,
            [
                Task((gather, slot), _merged_runs, _references(keys))
                for slot, keys in arriving.items()
            ],
            inputs,
        )
        held = {slot: TaskRef(item.key) for slot, item in zip(arriving, gathered, strict=True)}
        inputs = gathered[:1]
    merges = [
        Task((merge, j), _merged_partition, _references(arriving.get(exchange.destination(j), ())))
        for j in range(exchange.parts)
    ]
    graph = _layer(merge, merges, inputs, plan.merge_annotations)
    return da.Array(
        graph, merge, chunks=(tuple(int(s) for s in sizes),), meta=np.empty(0, WANTED_DTYPE)
    )


# The tasks ---------------------------------------------------------------------------


def _sorted_copy(block, block_id=None) -> np.ndarray:
    """A sorted copy of an input chunk, which may be persisted or shared by other tasks."""
    return _sorted_group([block], block_id[0] if block_id else 0)


def _sorted_group(blocks: list, first: int) -> np.ndarray:
    """Input chunks first, first + 1, ... copied into one new array, sorted."""
    for index, block in enumerate(blocks, first):
        _check_block(block, index)
    ours = np.concatenate(blocks)
    CHUNK_SORT(ours)
    return ours


def _check_block(block, index: int) -> None:
    """Refuses a chunk vexo cannot sort as it is, rather than casting it: a dask array's
    meta may say int64 where a chunk holds floats (truncated by a cast), or a masked
    array (whose mask would be dropped)."""
    problem = None
    if isinstance(block, np.ma.MaskedArray):
        problem = _MASKED
    elif not isinstance(block, np.ndarray):
        problem = f"a '{type(block).__qualname__}' object, not a NumPy ndarray"
    elif block.ndim != 1:
        problem = f"{block.ndim}-dimensional"
    elif block.dtype != WANTED_DTYPE:
        problem = f"of dtype {block.dtype}, not int64"
    if problem is not None:
        # Frozen: see docs/compatibility.md.
        raise TypeError(f"chunk {index} of the array to sort: {problem}")


def _regular_sample(chunk: np.ndarray, parts: int, index: int) -> list[tuple[int, np.ndarray]]:
    """The chunk's length and up to OVERSAMPLING * parts of its elements, each as (value,
    chunk, position), evenly spaced from a seeded random offset (the offset keeps
    periodic data from lining up with the spacing). A chunk shorter than that gives all
    its elements."""
    length = len(chunk)
    wanted = OVERSAMPLING * parts
    if length <= wanted:
        positions = np.arange(length)
    else:
        offset = _offset(index)
        positions = ((np.arange(wanted) + offset) * (length / wanted)).astype(np.int64)
    return [(length, np.stack([chunk[positions], np.full(len(positions), index), positions]))]


def _offset(index: int) -> float:
    """A seeded, well spread offset in [0, 1) for chunk `index`: the fractional part of
    the seed plus index times the golden ratio (Weyl's sequence), as cheap as arithmetic
    where a generator per chunk costs tens of microseconds, at 10^4 chunks a share of the
    call's time."""
    return (SAMPLE_SEED / 2**32 + index * 0.6180339887498949) % 1.0


def _gathered(samples: list[list]) -> list:
    """Lists of chunks' samples, as one list."""
    return [sample for group in samples for sample in group]


def _splitters(sampled: list, parts: int) -> np.ndarray:
    """parts - 1 elements, as rows of (value, chunk, position), whose global ranks in the
    order of (value, chunk, position) lie close to total * j / parts; `sampled` holds
    lists of every chunk's (length, sample).

    Each sample stands for the elements of its chunk up to the next sample: sorting all
    samples and adding up what they stand for estimates the rank of each.
    """
    sampled = _gathered(sampled)
    total = sum(length for length, _ in sampled)
    samples = np.hstack([sample for _, sample in sampled] + [np.empty((3, 0), np.int64)])
    weights = np.concatenate(
        [np.full(sample.shape[1], length / max(sample.shape[1], 1)) for length, sample in sampled]
        + [np.empty(0)]
    )
    order = np.lexsort(samples[::-1])  # by value, then chunk, then position
    # How many elements each sample has before it, by what the samples before it stand for.
    samples, before = samples[:, order], np.cumsum(weights[order]) - weights[order]
    if samples.shape[1] == 0:
        return np.zeros((3, parts - 1), dtype=np.int64)
    targets = np.arange(1, parts) * (total / parts)
    picks = np.minimum(np.searchsorted(before, targets), samples.shape[1] - 1)
    return samples[:, picks]


def _chunk_bounds(chunk: np.ndarray, splitters: np.ndarray, index: int) -> np.ndarray:
    """bounds[j]: where piece j of the sorted chunk `index` begins (bounds[parts] = its
    length): before it lie the elements below splitter j - 1 in the order of (value,
    chunk, position), so the elements equal to a splitter's value go below it from the
    chunks before its own, and from its own chunk up to its position."""
    values, chunks, positions = splitters
    below = np.searchsorted(chunk, values, side="left")
    at_most = np.searchsorted(chunk, values, side="right")
    inside = np.clip(positions, below, at_most)
    bound = np.where(chunks > index, at_most, np.where(chunks < index, below, inside))
    return np.concatenate([[0], bound, [len(chunk)]]).astype(np.int64)[np.newaxis]


def _cut(run: Sequence, first: int, last: int, own: bool) -> tuple[np.ndarray, np.ndarray, int]:
    """Partitions first to last (exclusive) of a sorted run, with their bounds: `run` is
    (values, bounds, base), bounds[k] where partition base + k begins (a sorted chunk's
    bounds are a row of the bounds array). The values are a view, so that only they are
    sent, or, where the data spills (`own`), a copy, which lets the run go to disk and
    its memory be freed (a view would hold on to the whole run while Dask counts only
    the view)."""
    values, bounds, base = run
    bounds = bounds.reshape(-1)
    start, stop = bounds[first - base], bounds[last - base]
    piece = values[start:stop]
    return (piece.copy() if own else piece), bounds[first - base : last - base + 1] - start, first


def _merged_runs(runs: list) -> tuple[np.ndarray, np.ndarray, int]:
    """The runs of the same partitions gathered at one slot, merged into one: where
    partition j begins in the merge is where it begins in every run, added up (the
    elements of a run below its bound of j are all of its elements below the same
    splitter)."""
    bounds = np.sum([run[1] for run in runs], axis=0)
    return _merged_values([run[0] for run in runs]), bounds, runs[0][2]


def _merged_partition(runs: list) -> np.ndarray:
    """One output partition: the values of the runs that reached it, merged."""
    return _merged_values([run[0] for run in runs])


def _merged_values(pieces: list) -> np.ndarray:
    """Sorted pieces merged into a new array.

    The pieces are read, never written: a piece may be a view of a sorted chunk that
    other tasks read too, or a read-only buffer after a transfer. The merge wants them
    aligned, which a transfer or a trip to disk may not leave them.
    """
    merged = np.empty(sum(len(piece) for piece in pieces), WANTED_DTYPE)
    aligned = [np.require(piece, WANTED_DTYPE, "CA") for piece in pieces]
    if len(merged) < KEPT_SCRATCH_FROM or len(pieces) < 3:
        _dask_native.merge_sorted(aligned, merged)
        return merged
    scratch = _KEPT_SCRATCH.take(len(merged))
    try:
        _dask_native.merge_sorted(aligned, merged, scratch)
    finally:
        _KEPT_SCRATCH.give_back(scratch)
    return merged


class KeptScratch:
    """The merges' scratch arrays, kept for the next merge of the process for as long as
    merges keep coming, and let go once none has asked for one for `seconds`.

    A merge of more than two pieces passes through a scratch array as long as its
    output. A large array comes fresh from the system on every allocation, and on a
    virtual machine whose host takes back the memory a guest frees, its first touch can
    cost more than the merge itself (10 ns an element of a merge of 8 pieces into
    1.7 x 10^7, in system time, against 4 ns of merging; docs/dask.md). The merges of
    one sort follow each other within milliseconds, so each but the first finds the
    last one's scratch. Kept for good, a worker would hold its largest merge's scratch
    for as long as it ran: held at most `seconds` after the last merge, it is there only
    while merges are, at most one for each merge running at once.
    """

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self._lock = threading.Lock()
        self._free: list[np.ndarray] = []
        self._last_use = 0.0
        self._timer: threading.Timer | None = None
        os.register_at_fork(after_in_child=self._forget)

    def take(self, size: int) -> np.ndarray:
        """A scratch array of at least `size` elements: a kept one where it is that long."""
        with self._lock:
            kept = self._free.pop() if self._free else None
        return kept if kept is not None and len(kept) >= size else np.empty(size, WANTED_DTYPE)

    def give_back(self, scratch: np.ndarray) -> None:
        """Keeps `scratch` for the next merge, for `seconds` at most."""
        with self._lock:
            self._free.append(scratch)
            self._last_use = time.monotonic()
            if self._timer is None:
                self._start_timer(self.seconds)

    def held(self) -> int:
        """The scratch arrays kept now."""
        with self._lock:
            return len(self._free)

    def _start_timer(self, delay: float) -> None:
        self._timer = threading.Timer(delay, self._expire)
        self._timer.daemon = True  # never what keeps a process from ending
        self._timer.start()

    def _expire(self) -> None:
        """Lets the kept arrays go, unless a merge used one within `seconds`: then looks
        again when that use is `seconds` old. One timer runs at a time, whatever the
        number of merges."""
        with self._lock:
            idle = time.monotonic() - self._last_use
            if idle < self.seconds:
                self._start_timer(self.seconds - idle)
                return
            self._free.clear()
            self._timer = None

    def _forget(self) -> None:
        """In a forked child: no timer runs there, and the lock may have been held."""
        self._lock = threading.Lock()
        self._free = []
        self._timer = None


_KEPT_SCRATCH = KeptScratch(seconds=1.0)
