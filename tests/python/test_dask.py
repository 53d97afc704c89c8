"""vexo.dask.sort against numpy.sort on Dask's schedulers, through Dask's own assert_eq
(every output chunk's shape and dtype, not only the values): balance, unknown and empty
chunks, the refusals, no task changing its input, and `import vexo` staying free of Dask."""

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


def check_sorted(values: np.ndarray, chunks, parts=None, scheduler="sync") -> None:
    """Sorts `values` held in a dask array of `chunks`, and checks the result, its chunks'
    balance and that the input is left as it was."""
    before = values.copy()
    x = da.from_array(values, chunks=(chunks,) if isinstance(chunks, tuple) else chunks)
    result = vexo.dask.sort(x, npartitions=parts)
    sizes = result.chunks[0]
    assert len(sizes) == (parts or max(1, min(x.numblocks[0], len(values))))
    assert max(sizes) <= math.ceil(1.25 * len(values) / len(sizes))
    assert_eq(result, np.sort(before), scheduler=scheduler)
    np.testing.assert_array_equal(values, before)


@pytest.mark.parametrize("name", INPUTS)
@pytest.mark.parametrize(
    "chunks, parts", [(1000, None), (3001, 13), (SIZE, None), (SIZE, 4), (500, 32)]
)
def test_sorts_like_numpy_in_balanced_chunks(name, chunks, parts):
    check_sorted(INPUTS[name](SIZE, 3), chunks, parts)


@given(
    sizes=st.lists(st.integers(0, 400), min_size=1, max_size=12),
    distinct=st.integers(1, 2**63),
    parts=st.integers(1, 20),
    seed=st.integers(0, 2**32),
)
def test_any_chunking_and_value_spread(sizes, distinct, parts, seed):
    values = np.random.default_rng(seed).integers(0, distinct, sum(sizes), dtype=np.int64)
    check_sorted(values, tuple(sizes), min(parts, max(1, len(values))))


@pytest.mark.parametrize(
    "values, chunks, parts",
    [
        (np.array([5], np.int64), 1, None),
        (np.empty(0, np.int64), 4, None),
        (np.array([3, 1, 2], np.int64), (0, 3, 0), None),
        (np.array([5, 1], np.int64), (0, 0, 1, 0, 1), None),  # more chunks than elements
        (np.empty(0, np.int64), (0, 0), 1),
        (np.array([2, -1, 0], np.longlong), 2, None),  # an int64-equivalent dtype
    ],
)
def test_one_element_empty_input_empty_chunks_and_longlong(values, chunks, parts):
    check_sorted(values, chunks, parts)


def test_unknown_chunk_sizes_are_found_first():
    values = patterns.make("random", SIZE, 5)
    x = da.from_array(values, chunks=1000)
    x = x[x % 3 != 0]
    assert math.isnan(x.chunks[0][0])
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
    merged = vexo.dask._merged_partition([shifted, np.empty(0, np.int64), frozen_piece])
    np.testing.assert_array_equal(merged, [1, 2, 3, 4, 9, 11])


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


def check_exchange_plan(planned: da.Array, result: da.Array, out_of_core: bool) -> None:
    """A worker cuts every piece of a chunk before those of the next, and all before any
    merge; where the data spills, the pieces are copies, cut at once (persisted), so that
    the sorted chunks can go; in memory they are views, cut when the result is computed.
    `planned` is the array of the pieces as the sort planned them, before any persist."""
    cut = planned.dask.layers[planned.name]
    chunk = np.arange(SIZE)  # stands for every sorted chunk: each piece lies within it
    for task in cut.values():
        piece = task(dict.fromkeys(task.dependencies, chunk))
        assert np.shares_memory(piece, chunk) != out_of_core
    # Chunk by chunk: the priorities fall with the chunk's index, and never rise.
    priority = cut.annotations["priority"]
    ranks = sorted((-priority(key), next(iter(task.dependencies))) for key, task in cut.items())
    chunks = [chunk_key[1] for _, chunk_key in ranks]
    assert chunks == sorted(chunks) and len({rank for rank, _ in ranks}) == len(ranks)
    assert min(-rank for rank, _ in ranks) > 0  # above the merges' default
    held = result.dask.layers[planned.name]
    assert out_of_core == all(isinstance(value, distributed.Future) for value in held.values())


@worker_processes
@pytest.mark.parametrize("out_of_core", [False, True])
def test_distributed(client, out_of_core, monkeypatch):  # noqa: F811
    """On two worker processes, input persisted there: every pattern, then the result
    computed twice and by a second consumer, the input unchanged; in memory, and as if
    the data spilled (pieces copied, and cut chunk by chunk before any merge)."""
    if out_of_core:
        monkeypatch.setattr(_dask_placement, "OUT_OF_CORE_SHARE", 0)
    planned = []
    pieces = vexo.dask._pieces
    monkeypatch.setattr(vexo.dask, "_pieces", lambda *a: planned.append(pieces(*a)) or planned[-1])
    for name in ["random", "all_equal", "zipf"]:
        check_sorted(INPUTS[name](SIZE, 4), (0, *[2000] * 10, 11), 6, scheduler=client)
    values = INPUTS["random"](SIZE, 8)
    x = da.from_array(values, chunks=3000).persist()
    distributed.wait(x)
    result = vexo.dask.sort(x, npartitions=3)
    check_exchange_plan(planned[-1][0], result, out_of_core)
    merges = {key[0].rsplit("-", 1)[0] for key in result.__dask_keys__()}
    assert merges == {"vexo-merge"}  # the output chunks are the merges, not aliases of them
    for _ in range(2):
        again, total = dask.compute(result, result.sum())
        np.testing.assert_array_equal(again, np.sort(values))
        assert total == values.sum()
    np.testing.assert_array_equal(x.compute(), values)


@worker_processes
def test_processes_scheduler():
    with dask.config.set(scheduler="processes"):
        check_sorted(INPUTS["random"](SIZE, 6), (5000, 0, 15011), 3, scheduler="processes")
