"""vexo.dask.sort against numpy.sort on every Dask scheduler: balance of the output chunks,
unknown and empty chunks, the refusals, and that `import vexo` stays free of Dask."""

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
import vexo.dask  # noqa: E402  (only once Dask is known to be there)

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


def check_sorted(values: np.ndarray, chunks, parts=None) -> None:
    """Sorts `values` held in a dask array of `chunks`, and checks the result, its chunks'
    balance and that the input is left as it was."""
    before = values.copy()
    x = da.from_array(values, chunks=(chunks,) if isinstance(chunks, tuple) else chunks)
    result = vexo.dask.sort(x, chunks=parts)
    sizes = result.chunks[0]
    assert len(sizes) == (parts or x.numblocks[0])
    assert all(isinstance(size, int) for size in sizes)  # known, never nan
    assert max(sizes) <= math.ceil(1.25 * len(values) / len(sizes))
    np.testing.assert_array_equal(result.compute(), np.sort(before))
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
    check_sorted(values, tuple(sizes), parts)


@pytest.mark.parametrize(
    "values, chunks, parts",
    [
        (np.array([5], np.int64), 1, None),
        (np.empty(0, np.int64), 4, None),
        (np.array([3, 1, 2], np.int64), (0, 3, 0), None),
        (np.array([5], np.int64), 1, 3),  # more output chunks than elements: empty ones too
    ],
)
def test_one_element_empty_input_and_empty_chunks(values, chunks, parts):
    check_sorted(values, chunks, parts)


def test_unknown_chunk_sizes_are_found_first():
    values = patterns.make("random", SIZE, 5)
    x = da.from_array(values, chunks=1000)
    x = x[x % 3 != 0]
    assert math.isnan(x.chunks[0][0])
    result = vexo.dask.sort(x, chunks=5)
    expected = np.sort(values[values % 3 != 0])
    assert sum(result.chunks[0]) == len(expected)
    np.testing.assert_array_equal(result.compute(), expected)
    assert math.isnan(x.chunks[0][0])  # x itself is left as it was


def test_longlong_is_accepted():
    values = np.array([2, -1, 0], dtype=np.longlong)
    np.testing.assert_array_equal(
        vexo.dask.sort(da.from_array(values, chunks=2)).compute(), [-1, 0, 2]
    )


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


@pytest.mark.parametrize("chunks, error", [(0, ValueError), (2.0, TypeError)])
def test_bad_chunk_counts(chunks, error):
    with pytest.raises(error, match="argument 'chunks'"):
        vexo.dask.sort(da.zeros(3, dtype=np.int64), chunks=chunks)


def test_import_vexo_leaves_dask_alone():
    done = run_python(
        "import sys, vexo, vexo.bench; assert not any(m.split('.')[0] in ('dask', 'distributed') for m in sys.modules), 'dask imported'"
    )
    assert done.returncode == 0, done.stderr


# Worker processes: slow to start, and the sanitized suite gains nothing from running
# Dask's own processes under the sanitizer.
worker_processes = pytest.mark.skipif(
    bool(os.environ.get("VEXO_SANITIZED")),
    reason="worker processes under the sanitizer add time, not coverage",
)


@pytest.fixture(scope="module")
def local_cluster():
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        env={"RAYON_NUM_THREADS": "1"},
    ) as cluster:
        yield cluster


@pytest.fixture
def client(local_cluster):
    with distributed.Client(local_cluster) as client:  # the default scheduler while it is open
        yield client


@worker_processes
@pytest.mark.parametrize("name", ["random", "all_equal", "zipf"])
def test_distributed_local_cluster(client, name):
    check_sorted(INPUTS[name](SIZE, 4), (0, *[2000] * 10, 11), 6)


@worker_processes
def test_distributed_input_persisted_on_the_workers(client):
    values = INPUTS["random"](SIZE, 8)
    x = da.from_array(values, chunks=3000).persist()
    distributed.wait(x)
    result = vexo.dask.sort(x, chunks=3)
    for _ in range(2):  # the merges sort the exchanged pieces in place: again is the same
        np.testing.assert_array_equal(result.compute(), np.sort(values))


@worker_processes
def test_distributed_workers_size_their_pool(client):
    assert set(client.run(lambda: os.environ.get("RAYON_NUM_THREADS")).values()) == {"1"}


@worker_processes
def test_processes_scheduler():
    with dask.config.set(scheduler="processes"):
        check_sorted(INPUTS["random"](SIZE, 6), (5000, 0, 15011), 3)


def bench_check(parts):
    from vexo.bench import dask as bench

    return bench.combined([bench._fingerprint(part) for part in parts])


@pytest.mark.parametrize(
    "parts, ascending",
    [
        ([[1, 2], [], [2, 9]], True),
        ([[1, 3], [2, 9]], False),
        ([[2, 1], [3, 9]], False),
        ([[-5, 2**63 - 1]], True),
    ],
)
def test_bench_checker_sees_order_across_chunks(parts, ascending):
    assert bench_check([np.array(part, np.int64) for part in parts])[0] is ascending


def test_bench_checker_sees_lost_or_changed_values():
    values = patterns.make("random", 1000, 2)
    reference = bench_check([values])[1]
    ordered = np.sort(values)
    assert bench_check([ordered[:400], ordered[400:]])[1] == reference
    assert bench_check([ordered[:-1]])[1] != reference
    changed = ordered.copy()
    changed[5] += 1
    assert bench_check([changed])[1] != reference


@pytest.mark.parametrize(
    "size, chunk, workers", [(10**7, 5 * 10**6, 2), (4 * 10**8, 5 * 10**6, 2), (7, 3, 3)]
)
def test_bench_chunks_cover_the_size(size, chunk, workers):
    from vexo.bench import dask as bench

    sizes = bench.chunk_sizes(size, chunk, workers)
    assert sum(sizes) == size and len(sizes) >= min(size, bench.MIN_CHUNKS_PER_WORKER * workers)


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
    homes = vexo.dask._balanced_homes(held)
    workers, parts = held.shape
    assert sorted(set(homes)) == list(range(workers))
    assert len(homes) == parts and max(homes.count(w) for w in range(workers)) <= math.ceil(
        parts / workers
    )
    assert expected is None or homes == expected


def test_result_computed_twice_is_the_same():
    values = patterns.make("random", SIZE, 9)
    result = vexo.dask.sort(da.from_array(values, chunks=3000))
    np.testing.assert_array_equal(result.compute(), np.sort(values))
    np.testing.assert_array_equal(result.compute(), np.sort(values))


def read_only(values: np.ndarray) -> np.ndarray:
    values.flags.writeable = False
    return values


def misaligned(values: np.ndarray) -> np.ndarray:
    raw = np.zeros(values.nbytes + 1, np.uint8)[1:]
    raw[:] = values.view(np.uint8)
    return raw.view(np.int64)


@pytest.mark.parametrize("unfit", [read_only, misaligned])
def test_a_partition_vexo_cannot_sort_in_place_is_sorted_in_a_copy(unfit):
    gathered = unfit(np.array([3, 1, 2], np.int64))
    np.testing.assert_array_equal(vexo.dask._merged_in_place(gathered), [1, 2, 3])
    np.testing.assert_array_equal(gathered, [3, 1, 2])
