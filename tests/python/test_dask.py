"""vexo.dask.sort against numpy.sort on Dask's schedulers, through Dask's own assert_eq
(every output chunk's shape and dtype, not only the values): balance, unknown and empty
chunks, the direct and the staged exchange, unique keys, the refusals, no task changing
its input, the placement on many workers, and `import vexo` staying free of Dask."""

import math
import os

import numpy as np
import pytest
from conftest import run_python
from hypothesis import given
from hypothesis import strategies as st

from vexo import patterns

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
from dask.array.utils import assert_eq  # noqa: E402
from distributed.utils_test import (  # noqa: E402, F401  (fixtures: client needs the rest)
    cleanup,
    client,  # noqa: F811
    cluster_fixture,
    loop,
    loop_in_thread,
)

import vexo.dask  # noqa: E402  (only once Dask is known to be there)
from vexo import _dask_placement  # noqa: E402

SIZE = 20_011  # a prime: no chunking divides it evenly


def zipf(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).zipf(1.3, n).astype(np.int64)


def two_valued(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).integers(0, 2, n, dtype=np.int64) * 7 - 3


INPUTS = {
    **{name: (lambda n, seed, name=name: patterns.make(name, n, seed)) for name in patterns.NAMES},
    "zipf": zipf,
    "two_valued": two_valued,
}


def check_sorted(values: np.ndarray, chunks, parts=None, scheduler="sync") -> da.Array:
    """Sorts `values` held in a persisted dask array of `chunks`, and checks the result,
    its chunks' balance and that the input is left as it was, both the array and the
    chunks the graph holds (a chunk sorted in place would change them)."""
    before = values.copy()
    x = da.from_array(values, chunks=(chunks,) if isinstance(chunks, tuple) else chunks)
    (x,) = dask.persist(x, scheduler=scheduler)
    result = vexo.dask.sort(x, npartitions=parts)
    sizes = result.chunks[0]
    assert parts is None or len(sizes) == parts
    assert max(sizes) <= math.ceil(1.25 * len(values) / len(sizes))
    assert min(sizes) > 0 or len(values) < len(sizes) or len(values) == 0
    assert_eq(result, np.sort(before), scheduler=scheduler)
    np.testing.assert_array_equal(values, before)
    np.testing.assert_array_equal(x.compute(scheduler=scheduler), before)
    return result


@pytest.fixture(
    params=[(vexo.dask.MAX_BRANCH, vexo.dask.RUNS_PER_THREAD), (vexo.dask.MAX_BRANCH, math.inf)]
    + [(2, math.inf), (5, math.inf)],
    ids=["shipped", "a-run-a-chunk", "staged-2", "staged-5"],
)
def max_branch(request, monkeypatch) -> int:
    """The exchange's fan-in: as shipped (direct on these sizes, small chunks sorted
    together), and with every chunk a run of its own, so many runs meet the exchange: as
    shipped, and with a fan-in small enough that the same sizes take the staged
    exchange, in many rounds and in a few."""
    branch, runs_per_thread = request.param
    monkeypatch.setattr(vexo.dask, "MAX_BRANCH", branch)
    monkeypatch.setattr(vexo.dask, "RUNS_PER_THREAD", runs_per_thread)
    return branch


@pytest.mark.parametrize("name", INPUTS)
@pytest.mark.parametrize(
    "chunks, parts", [(1000, None), (3001, 13), (SIZE, None), (SIZE, 4), (500, 32), (97, 70)]
)
def test_sorts_like_numpy_in_balanced_chunks(name, chunks, parts, max_branch):
    check_sorted(INPUTS[name](SIZE, 3), chunks, parts)


@given(
    sizes=st.lists(st.integers(0, 400), min_size=1, max_size=12),
    distinct=st.integers(1, 2**63),
    parts=st.integers(1, 20),
    seed=st.integers(0, 2**32),
    max_branch=st.sampled_from([2, 3, vexo.dask.MAX_BRANCH]),
    runs_per_thread=st.sampled_from([0.5, vexo.dask.RUNS_PER_THREAD, math.inf]),
)
def test_any_chunking_and_value_spread(sizes, distinct, parts, seed, max_branch, runs_per_thread):
    values = np.random.default_rng(seed).integers(0, distinct, sum(sizes), dtype=np.int64)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(vexo.dask, "MAX_BRANCH", max_branch)
        patch.setattr(vexo.dask, "RUNS_PER_THREAD", runs_per_thread)
        check_sorted(values, tuple(sizes), min(parts, max(1, len(values))))


@pytest.mark.parametrize(
    "values, chunks, parts",
    [
        (np.array([5], np.int64), 1, None),
        (np.empty(0, np.int64), 4, None),
        (np.array([3, 1, 2], np.int64), (0, 3, 0), None),
        (np.array([5, 1], np.int64), (0, 0, 1, 0, 1), None),  # more chunks than elements
        (np.array([5, 1, 4, 4, 2], np.int64), (0, 2, 1, 0, 2), 5),  # a partition an element
        (np.empty(0, np.int64), (0, 0), 1),
        (np.array([2, -1, 0], np.longlong), 2, None),  # an int64-equivalent dtype
    ],
)
def test_one_element_empty_input_empty_chunks_and_longlong(values, chunks, parts):
    check_sorted(values, chunks, parts)


@pytest.mark.parametrize("distinct", [1, 2, 5])
def test_few_distinct_values_in_many_chunks_stay_balanced(distinct, max_branch):
    values = np.random.default_rng(distinct).integers(0, distinct, 30_000, dtype=np.int64)
    check_sorted(values, 60, 200)


@given(
    chunks=st.integers(1, 2000),
    parts=st.integers(1, 2000),
    max_branch=st.integers(2, 40),
)
def test_every_piece_reaches_its_partition_in_linear_many_moves(chunks, parts, max_branch):
    """The exchange's plan alone: each round hands every run's partitions on, each slot
    gathers at most `radix` runs, the last round ends at the partitions' own slots, and
    the moves grow with chunks + partitions (a direct exchange: with their product,
    where one of them is at most MAX_BRANCH)."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(vexo.dask, "MAX_BRANCH", max_branch)
        exchange = vexo.dask.Exchange.plan(chunks, parts)
    wider = max(chunks, parts)
    held = {exchange.origin(i): (0, parts) for i in range(chunks)}
    assert len(held) == chunks
    for _, moves in exchange.rounds():
        reached, sent = {}, {}
        for source, target, first, last in moves:
            reached.setdefault(target, []).append((first, last))
            sent.setdefault(source, []).append((first, last))
        assert sent.keys() == held.keys()
        for ranges in reached.values():
            assert len(set(ranges)) == 1  # the same partitions from every run
            assert len(ranges) <= (chunks if exchange.direct else exchange.radix)
        for source, cut in sent.items():  # every run hands on all it holds, in a tiling
            bounds = [first for first, _ in cut] + [cut[-1][1]]
            assert (bounds[0], bounds[-1]) == held[source] and bounds == sorted(set(bounds))
        held = {target: ranges[0] for target, ranges in reached.items()}
        assert len(moves) <= (
            chunks * parts if exchange.direct else exchange.radix * exchange.slots
        )
    assert exchange.direct or exchange.slots < max_branch * wider
    assert sorted(held) == [exchange.destination(j) for j in range(parts)]
    assert all(held[exchange.destination(j)] == (j, j + 1) for j in range(parts))
    assert exchange.direct == (min(chunks, parts) <= max_branch)


def test_default_npartitions_from_the_array_chunk_size():
    values = patterns.make("random", SIZE, 2)
    x = da.from_array(values, chunks=1000)
    with dask.config.set({"array.chunk-size": "4KiB", "num_workers": 3}):
        assert len(vexo.dask.sort(x).chunks[0]) == math.ceil(SIZE * 8 / 4096)
    with dask.config.set({"array.chunk-size": "128MiB", "num_workers": 3}):
        assert len(vexo.dask.sort(x).chunks[0]) == 3  # one a thread
    with dask.config.set({"array.chunk-size": "128MiB", "num_workers": 3}):
        assert len(vexo.dask.sort(x[:2]).chunks[0]) == 2  # no more than the elements


@pytest.mark.parametrize("scheduler", ["sync", "threads", "processes"])
def test_two_sorts_computed_together_keep_their_keys_apart(scheduler):
    if scheduler == "processes" and os.environ.get("VEXO_SANITIZED"):
        pytest.skip("worker processes under the sanitizer add time, not coverage")
    first = da.from_array(np.arange(1000, 0, -1), chunks=100)
    second = da.from_array(np.arange(2000, 1000, -1), chunks=100)
    with dask.config.set(scheduler=scheduler):
        a, b, again = dask.compute(
            vexo.dask.sort(first), vexo.dask.sort(second), vexo.dask.sort(first)
        )
    np.testing.assert_array_equal(a, np.arange(1, 1001))
    np.testing.assert_array_equal(b, np.arange(1001, 2001))
    np.testing.assert_array_equal(again, a)


def test_keys_name_the_input_and_the_arguments():
    x = da.from_array(np.arange(100, 0, -1), chunks=10)
    y = da.from_array(np.arange(200, 100, -1), chunks=10)
    same, other_input, other_parts = (
        set(vexo.dask.sort(a, npartitions=p).__dask_graph__()) for a, p in [(x, 4), (y, 4), (x, 5)]
    )
    assert same == set(vexo.dask.sort(x, npartitions=4).__dask_graph__())  # a key, a value
    for keys in (other_input, other_parts):
        shared = {key[0].rsplit("-", 1)[0] for key in same & keys if isinstance(key, tuple)}
        # Only the chunk sorts of one input may be shared: the same values.
        assert shared <= ({"vexo-sort-chunk"} if keys is other_parts else set())


@given(
    sizes=st.lists(st.integers(0, 50), max_size=40),
    threads=st.integers(1, 8),
    chunk_size=st.integers(8, 4000),
)
def test_small_chunks_sorted_together_in_consecutive_runs(sizes, threads, chunk_size):
    with dask.config.set({"num_workers": threads, "array.chunk-size": chunk_size}):
        runs = vexo.dask._runs(tuple(sizes))
    assert [i for first, last in runs for i in range(first, last)] == list(range(len(sizes)))
    assert all(last > first for first, last in runs)
    most = min(sum(sizes) / (vexo.dask.RUNS_PER_THREAD * threads), chunk_size // 8)
    # A run holds one chunk, or no more than its share: both the threads' and Dask's.
    assert all(last - first == 1 or sum(sizes[first:last]) <= most for first, last in runs)
    # A run and the next chunk together would have been over it.
    assert all(sum(sizes[first : last + 1]) > most for first, last in runs[:-1])


def test_a_call_on_many_small_chunks_runs_a_task_a_run():
    x = da.from_array(np.arange(10_000, 0, -1), chunks=5)
    with dask.config.set({"num_workers": 2}):
        result = vexo.dask.sort(x)
    runs = len(layer_of(result, "vexo-bounds-"))
    assert runs <= 2 * vexo.dask.RUNS_PER_THREAD * 2  # not one a chunk: 2000
    assert_eq(result, np.arange(1, 10_001))


def test_unknown_chunk_sizes_are_found_first():
    values = patterns.make("random", SIZE, 5)
    x = da.from_array(values, chunks=1000)
    x = x[x % 3 != 0]
    assert math.isnan(x.chunks[0][0])
    assert vexo.dask._runs(x.chunks[0]) == [(i, i + 1) for i in range(x.numblocks[0])]
    result = vexo.dask.sort(x, npartitions=5)
    assert_eq(result, np.sort(values[values % 3 != 0]))
    assert math.isnan(x.chunks[0][0])  # x itself is left as it was


def frozen(collection):
    """`collection` with every array its graph holds made read-only: vexo refuses to sort
    those, so a task that sorted its input in place would fail."""
    for layer in collection.dask.layers.values():
        for value in layer.values():
            if isinstance(value, np.ndarray):
                value.flags.writeable = False
    return collection


def test_no_task_changes_its_input():
    values = patterns.make("random", SIZE, 9)
    x = frozen(da.from_array(values, chunks=3000))
    result = frozen(vexo.dask.sort(x, npartitions=4))  # the sorted chunks, persisted
    expected = np.sort(values)
    for _ in range(2):
        again, reversed_ = dask.compute(result, result[::-1])  # and a second consumer
        np.testing.assert_array_equal(again, expected)
        np.testing.assert_array_equal(reversed_, expected[::-1])


def misaligned(n: int) -> np.ndarray:
    return np.zeros(8 * n + 1, np.uint8)[1:].view(np.int64)


@pytest.mark.parametrize(
    "pieces, out, error, message",
    [
        ([np.arange(3)], np.empty(4, np.int64), ValueError, "'out': 4 elements for pieces of 3"),
        ([np.arange(3.0)], np.empty(3, np.int64), TypeError, "'pieces': not a one-dimensional"),
        ([np.arange(4).reshape(2, 2)], np.empty(4, np.int64), TypeError, "not a one-dimensional"),
        ([np.arange(3)], np.empty(3, np.int32), TypeError, "'out': not a one-dimensional"),
        ([misaligned(3)], np.empty(3, np.int64), ValueError, "'pieces': not aligned"),
        ([np.arange(3)], np.arange(3).view(), None, None),  # fine: a view of its own
        ([np.arange(3)], np.arange(3)[::-1], ValueError, "not C-contiguous"),
    ],
)
def test_native_merge_refuses_what_it_cannot_merge(pieces, out, error, message):
    if error is None:
        vexo._dask_native.merge_sorted(pieces, out)
        return
    with pytest.raises(error, match=message):
        vexo._dask_native.merge_sorted(pieces, out)


def test_merge_takes_misaligned_read_only_and_empty_pieces():
    shifted = misaligned(3)
    shifted[:] = [1, 4, 9]
    frozen_piece = np.array([2, 3, 11])
    frozen_piece.flags.writeable = False
    merged = vexo.dask._merged_values([shifted, np.empty(0, np.int64), frozen_piece])
    np.testing.assert_array_equal(merged, [1, 2, 3, 4, 9, 11])


def test_merges_keep_one_scratch_while_they_keep_coming(monkeypatch):
    kept = vexo.dask.KeptScratch(seconds=60)
    monkeypatch.setattr(vexo.dask, "_KEPT_SCRATCH", kept)
    monkeypatch.setattr(vexo.dask, "KEPT_SCRATCH_FROM", 0)
    taken = []
    take = kept.take
    monkeypatch.setattr(kept, "take", lambda size: taken.append(take(size)) or taken[-1])
    for size in (300, 300, 600, 30):  # the first two share one; a longer merge needs more
        pieces = [np.arange(k, size, 3) for k in range(3)]
        np.testing.assert_array_equal(vexo.dask._merged_values(pieces), np.arange(size))
        assert kept.held() == 1
    assert taken[0] is taken[1] and taken[2] is taken[3] and len(taken[2]) == 600
    kept._expire()  # used just now: kept on
    assert kept.held() == 1
    kept._last_use -= 60
    kept._expire()
    assert kept.held() == 0


def test_native_merge_refuses_an_output_over_a_piece_and_a_read_only_one():
    whole = np.arange(6)
    with pytest.raises(ValueError, match="'out' overlaps a piece"):
        vexo._dask_native.merge_sorted([whole[:2], whole[4:]], whole[1:5])
    out = np.empty(2, np.int64)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        vexo._dask_native.merge_sorted([np.arange(2)], out)


@pytest.mark.parametrize(
    "argument, message",
    [
        (
            np.zeros(3, np.int64),
            "argument 'x': 'ndarray' object cannot be converted to 'dask.array.Array'",
        ),
        (da.zeros((2, 2), dtype=np.int64), "argument 'x': dimensionality mismatch:\n from=2, to=1"),
        (da.zeros(3, dtype=np.float64), "argument 'x': type mismatch:\n from=float64, to=int64"),
        (da.zeros(3, dtype=np.int32), "argument 'x': type mismatch:\n from=int32, to=int64"),
        (da.zeros(3, dtype=np.uint64), "argument 'x': type mismatch:\n from=uint64, to=int64"),
        (da.zeros(3, dtype=">i8"), "argument 'x': type mismatch:\n from=>i8, to=int64"),
        (
            da.ma.masked_equal(da.from_array(np.array([9, 4, 1])), 9),
            "argument 'x': a masked array cannot be sorted: its data would move and its mask "
            "would not, hiding valid values and showing masked ones",
        ),
    ],
)
def test_refusals_read_like_the_module(argument, message):
    with pytest.raises(TypeError) as raised:
        vexo.dask.sort(argument)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "npartitions, error, message",
    [
        (0, ValueError, "must be at least 1, got 0"),
        (-2, ValueError, "must be at least 1, got -2"),
        (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "'str' object cannot be interpreted as an integer"),
        (4, ValueError, "4 partitions of 3 elements; at most 3"),
    ],
)
@pytest.mark.parametrize("known", [True, False])
def test_bad_npartitions_named(npartitions, error, message, known):
    x = da.from_array(np.array([4, 2, 9, -7], np.int64), chunks=2)
    x = x[[0, 1, 3]] if known else x[x != 9]
    assert math.isnan(x.chunks[0][0]) != known
    with pytest.raises(error, match=f"^argument 'npartitions': {message}$"):
        vexo.dask.sort(x, npartitions=npartitions)


def lying(blocks: list, meta=None) -> da.Array:
    """A dask array of `blocks` whose meta says plain int64, whatever they hold."""
    name = f"lying-{dask.base.tokenize(blocks)}"
    graph = {(name, i): block for i, block in enumerate(blocks)}
    meta = np.empty(0, np.int64) if meta is None else meta
    return da.Array(graph, name, chunks=(tuple(len(b) for b in blocks),), meta=meta)


@pytest.mark.parametrize(
    "block, problem",
    [
        (np.array([2.7, -1.5, 0.2]), "of dtype float64, not int64"),
        (np.ma.masked_equal([9, 4, 7, 1], 9), "a masked array cannot be sorted"),
        (np.array([3, 1], np.int32), "of dtype int32, not int64"),
        (np.array([3, 1], ">i8"), "of dtype >i8, not int64"),
        (np.arange(4).reshape(2, 2), "2-dimensional"),
        ([3, 1, 2], "a 'list' object, not a NumPy ndarray"),
    ],
)
def test_a_chunk_unlike_its_meta_is_refused_by_index(block, problem):
    x = lying([np.array([5, 6]), block])
    with pytest.raises(TypeError, match=f"^chunk 1 of the array to sort: {problem}"):
        vexo.dask.sort(x)


def test_import_without_dask_names_the_extra():
    done = run_python(
        "import sys\n"
        "sys.modules['dask'] = None\n"  # as if it were not installed
        "import vexo.dask\n"
    )
    assert "pip install 'vexo-sort[dask]'" in done.stderr, done.stderr


def test_no_chunks_keyword_left():
    with pytest.raises(TypeError, match="chunks"):
        vexo.dask.sort(da.zeros(3, dtype=np.int64), chunks=2)


def test_import_vexo_leaves_dask_alone():
    done = run_python(
        "import sys, vexo, vexo.bench\n"
        "assert not any(m.split('.')[0] in ('dask', 'distributed') for m in sys.modules)"
    )
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize(
    "held, expected",
    [
        (np.diag([5, 6, 7, 8]), [0, 1, 2, 3]),  # ordered input: partition j lies on worker j
        (np.array([[9, 9, 9, 9, 9], [1, 1, 1, 1, 1]]), [0, 0, 0, 1, 1]),  # no more than its share
        (np.zeros((3, 7), np.int64), [0, 1, 2, 0, 1, 2, 0]),  # nothing known: in turn
        (np.random.default_rng(4).integers(0, 100, (2, 9)), None),
    ],
)
def test_merges_go_where_the_elements_are_within_each_workers_share(held, expected):
    homes = _dask_placement.balanced_homes(held)
    workers, parts = held.shape
    assert sorted(set(homes)) == list(range(workers))
    assert len(homes) == parts
    assert max(homes.count(w) for w in range(workers)) <= math.ceil(parts / workers)
    assert expected is None or homes == expected


def test_merges_go_to_the_worker_holding_most_of_them():
    cuts = np.array([[0, 5, 6], [0, 1, 7], [0, 4, 4]])
    # k2's holder left the cluster; k3 is lost: neither counts.
    where = {"k0": ["tcp://b"], "k1": ["tcp://a", "tcp://b"], "k2": ["tcp://gone"]}
    homes = _dask_placement.merge_homes(["tcp://a", "tcp://b"], where, ["k0", "k1", "k2"], cuts)
    assert homes == ["tcp://b", "tcp://a"]


# Worker processes: slow to start, and the sanitized suite gains nothing from running
# Dask's own processes under the sanitizer.
worker_processes = pytest.mark.skipif(
    bool(os.environ.get("VEXO_SANITIZED")),
    reason="worker processes under the sanitizer add time, not coverage",
)


def layer_of(result: da.Array, step: str):
    """The layer of `result`'s graph whose name starts with `step`."""
    (name,) = (name for name in result.dask.layers if name.startswith(step))
    return result.dask.layers[name]


def check_exchange_plan(result: da.Array, out_of_core: bool) -> None:
    """A worker cuts every piece of a chunk before those of the next, and all before any
    merge; where the data spills, the pieces are copies, cut at once (persisted), so that
    the sorted chunks can go; in memory they are views, cut when the result is computed."""
    cut = layer_of(result, "vexo-cut-1-")
    if out_of_core:
        assert all(isinstance(value, distributed.Future) for value in cut.values())
        return
    chunk = np.arange(SIZE)  # stands for every sorted chunk: each piece lies within it
    parts = len(result.chunks[0])
    bounds = np.linspace(0, SIZE, parts + 1).astype(np.int64)[np.newaxis]
    order = []
    for key, task in cut.items():
        (chunk_key,) = (k for k in task.dependencies if k[0].startswith("vexo-sort-chunk"))
        inputs = {k: chunk if k == chunk_key else bounds for k in task.dependencies}
        piece, _, _ = task(inputs)
        assert np.shares_memory(piece, chunk)
        order.append((-cut.annotations["priority"](key), chunk_key[1]))
    # Chunk by chunk: the priorities fall with the chunk's index, and never rise.
    ranks = sorted(order)
    assert [c for _, c in ranks] == sorted(c for _, c in ranks)
    assert len({rank for rank, _ in ranks}) == len(ranks)
    assert min(-rank for rank, _ in ranks) > 0  # above the merges' default


@pytest.mark.parametrize("own", [False, True])
def test_a_piece_is_a_view_unless_the_data_spills(own):
    chunk = np.arange(10)
    piece, bounds, first = vexo.dask._cut([chunk, np.array([[0, 3, 7, 10]]), 0], 1, 3, own)
    np.testing.assert_array_equal(piece, chunk[3:])
    np.testing.assert_array_equal(bounds, [0, 4, 7])
    assert first == 1 and np.shares_memory(piece, chunk) != own


@worker_processes
@pytest.mark.parametrize("out_of_core", [False, True])
def test_distributed(client, out_of_core, monkeypatch):  # noqa: F811
    """On two worker processes, input persisted there: every pattern, then the result
    computed twice and by a second consumer, the input unchanged; in memory, and as if
    the data spilled (pieces copied, and cut chunk by chunk before any merge)."""
    if out_of_core:
        monkeypatch.setattr(_dask_placement, "OUT_OF_CORE_SHARE", 0)
    for name in ["random", "all_equal", "zipf"]:
        check_sorted(INPUTS[name](SIZE, 4), (0, *[2000] * 10, 11), 6, scheduler=client)
    values = INPUTS["random"](SIZE, 8)
    x = da.from_array(values, chunks=1000).persist()
    distributed.wait(x)
    result = vexo.dask.sort(x, npartitions=3)
    if not out_of_core:  # a cluster sorts every chunk on the worker that holds it
        assert len(layer_of(result, "vexo-sort-chunk-")) == x.numblocks[0]
    check_exchange_plan(result, out_of_core)
    merges = {key[0].rsplit("-", 1)[0] for key in result.__dask_keys__()}
    assert merges == {"vexo-merge"}  # the output chunks are the merges, not aliases of them
    for _ in range(2):
        again, total = dask.compute(result, result.sum())
        np.testing.assert_array_equal(again, np.sort(values))
        assert total == values.sum()
    np.testing.assert_array_equal(x.compute(), values)


@worker_processes
def test_two_sorts_alive_at_once_on_a_cluster(client):  # noqa: F811
    kept = vexo.dask.sort(da.from_array(np.arange(1000, 0, -1), chunks=100)).persist()
    later = vexo.dask.sort(da.from_array(np.arange(2000, 1000, -1), chunks=100)).compute()
    np.testing.assert_array_equal(later, np.arange(1001, 2001))
    np.testing.assert_array_equal(kept.compute(), np.arange(1, 1001))


@worker_processes
@pytest.mark.parametrize("staged", [False, True])
def test_merges_spread_over_eight_workers(staged, monkeypatch):
    """Every worker of a cluster of eight gets its share of the merges (the scheduler's
    information lists only five workers by default in some releases), in the direct
    exchange; the staged one, left to the scheduler, sorts right there too."""
    if staged:
        monkeypatch.setattr(vexo.dask, "MAX_BRANCH", 3)
    with (
        distributed.LocalCluster(
            n_workers=8,
            threads_per_worker=1,
            dashboard_address=":0",
            env={"RAYON_NUM_THREADS": "1"},
        ) as cluster,
        distributed.Client(cluster) as eight,
    ):
        values = INPUTS["random"](SIZE, 1)
        x = da.from_array(values, chunks=500).persist()
        result = vexo.dask.sort(x)  # one partition a worker thread
        assert len(result.chunks[0]) == 8
        if not staged:
            homes = layer_of(result, "vexo-merge-").annotations["workers"]
            workers = {home for key in result.__dask_keys__() for home in homes(key)}
            assert workers == set(eight.scheduler_info(n_workers=-1)["workers"])
        assert_eq(result, np.sort(values), scheduler=eight)


@worker_processes
def test_processes_scheduler():
    with dask.config.set(scheduler="processes"):
        check_sorted(INPUTS["random"](SIZE, 6), (5000, 0, 15011), 3, scheduler="processes")
