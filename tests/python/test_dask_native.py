"""vexo._dask_native.merge_sorted on its own, no Dask needed: sorted pieces merge into
numpy.sort of their concatenation, pieces out of order still return, a __buffer__ that
changes the list of pieces reads no freed memory, and no scratch outlives a call."""

import os
import threading
from pathlib import Path

import numpy as np
import pytest
from conftest import run_python
from hypothesis import given
from hypothesis import strategies as st

from vexo import _dask_native, patterns

SANITIZED = bool(os.environ.get("VEXO_SANITIZED"))

# A merge here takes milliseconds, under the sanitizer too; one that has not returned by
# then never will.
MERGE_SECONDS = 10


def merge_or_end_the_run(pieces: list, out: np.ndarray, *scratch: np.ndarray) -> None:
    """merge_sorted(pieces, out, *scratch), or the end of the pytest run if it has not returned in
    MERGE_SECONDS. A merge spins with the interpreter lock released, so a thread of the
    test can time it, and a hang fails in seconds instead of at faulthandler_timeout."""
    raised: list[BaseException] = []

    def call() -> None:
        try:
            _dask_native.merge_sorted(pieces, out, *scratch)
        except BaseException as error:
            raised.append(error)

    merging = threading.Thread(target=call, daemon=True)
    merging.start()
    merging.join(MERGE_SECONDS)
    if merging.is_alive():
        test = os.environ.get("PYTEST_CURRENT_TEST", "")
        shapes = [len(piece) for piece in pieces]
        pytest.exit(f"{test}: merge_sorted of {shapes} did not return in {MERGE_SECONDS} s", 1)
    if raised:
        raise raised[0]


# Piece lengths around the merge's cut-overs (a merge by rank below 8 elements, AVX-512's
# merge in registers up to 64 a run, one block merge below 128, one pair of scalar chains
# below 256) and beyond, empty ones included.
lengths = st.one_of(
    st.integers(0, 12), st.integers(56, 72), st.integers(120, 136), st.integers(0, 700)
)
piece_recipes = st.lists(
    st.tuples(st.sampled_from(patterns.NAMES), lengths, st.integers(0, 2**32 - 1)), max_size=10
)


def made(recipes: list[tuple[str, int, int]]) -> list[np.ndarray]:
    return [patterns.make(name, n, seed) for name, n, seed in recipes]


# No scratch handed in (the call's own), or one of the output's length or longer, as a
# kept one can be.
scratch_spare = st.one_of(st.none(), st.integers(0, 100))


def scratch_for(total: int, spare: int | None) -> tuple[np.ndarray, ...]:
    return () if spare is None else (np.empty(total + spare, np.int64),)


@given(piece_recipes, scratch_spare)
def test_sorted_pieces_merge_like_numpy_sort(recipes, spare):
    pieces = [np.sort(piece) for piece in made(recipes)]
    out = np.empty(sum(map(len, pieces)), np.int64)
    merge_or_end_the_run(pieces, out, *scratch_for(len(out), spare))
    np.testing.assert_array_equal(out, np.sort(np.concatenate([np.empty(0, np.int64), *pieces])))


@given(piece_recipes, scratch_spare)
def test_pieces_out_of_order_return(recipes, spare):
    pieces = made(recipes)
    total = sum(map(len, pieces))
    merge_or_end_the_run(pieces, np.empty(total, np.int64), *scratch_for(total, spare))


def test_a_scratch_handed_in_is_checked_before_the_merge():
    whole = np.empty(70, np.int64)
    whole[:10] = np.arange(0, 30, 3)
    pieces = [whole[:10], np.arange(1, 30, 3), np.arange(2, 30, 3)]
    out = np.empty(30, np.int64)
    frozen = np.empty(30, np.int64)
    frozen.flags.writeable = False
    for scratch, error, message in [
        (np.empty(29, np.int64), ValueError, "'scratch': 29 elements for pieces of 30"),
        (np.empty(30, np.int32), TypeError, "'scratch': not a one-dimensional"),
        (frozen, ValueError, "read-only"),
        (out, ValueError, "'scratch' overlaps a piece or 'out'"),
        (whole[5:40], ValueError, "'scratch' overlaps a piece or 'out'"),
    ]:
        with pytest.raises(error, match=message):
            _dask_native.merge_sorted(pieces, out, scratch)
    _dask_native.merge_sorted(pieces, out, whole[10:40])  # beside a piece, not over it
    np.testing.assert_array_equal(out, np.arange(30))


def test_a_descending_piece_returns():
    # The front and back chains of the scalar merge cross on it.
    merge_or_end_the_run([np.arange(9, 0, -1), np.array([1])], np.empty(10, np.int64))


class Reshaping:
    """A piece (or output) whose __buffer__ runs `change` on the list of pieces first."""

    def __init__(self, values: np.ndarray, pieces: list, change) -> None:
        self.values, self.pieces, self.change = values, pieces, change

    def __buffer__(self, flags: int) -> memoryview:
        self.change(self.pieces)
        return memoryview(self.values)


CHANGES = {
    "del-the-rest": lambda pieces: pieces.__delitem__(slice(1, None)),
    "clear": list.clear,
    "replace-the-rest": lambda pieces: pieces.__setitem__(slice(1, None), [np.arange(50)]),
    "grow": lambda pieces: pieces.extend(np.arange(3) for _ in range(100)),
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES)
@pytest.mark.parametrize("changed_by", ["first piece", "out"])
def test_a_buffer_that_changes_the_list_merges_the_pieces_as_called(change, changed_by):
    # The list is the only holder of the later pieces: once they leave it they are freed,
    # so a merge that read the list after a __buffer__ ran would read freed objects.
    first = np.array([2, 5, 9])
    pieces = [first, *(np.arange(k, 400, 7) for k in range(6))]
    expected = np.sort(np.concatenate(pieces))
    out = np.empty(len(expected), np.int64)
    if changed_by == "out":
        merge_or_end_the_run(pieces, Reshaping(out, pieces, change))
    else:
        pieces[0] = Reshaping(first, pieces, change)
        merge_or_end_the_run(pieces, out)
    np.testing.assert_array_equal(out, expected)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine keeps freed memory resident")
def test_no_scratch_outlives_the_merge():
    # Pieces and output above glibc's largest mmap threshold (32 MiB), so each comes from
    # mmap and goes back on free; three pieces, so the merge takes a scratch of all 120 MB.
    result = run_python(
        """
        import gc
        import numpy as np
        from vexo import _dask_native

        def resident():
            for line in open("/proc/self/status"):
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024

        _dask_native.merge_sorted([np.arange(3)] * 3, np.empty(9, np.int64))
        before = resident()
        pieces = [np.arange(k, 15_000_000, 3) for k in range(3)]
        out = np.empty(15_000_000, np.int64)
        _dask_native.merge_sorted(pieces, out)
        assert (np.diff(out) == 1).all()
        del pieces, out
        gc.collect()
        print(resident() - before)
        """
    )
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 16 << 20  # the scratch alone is 120 MB


@pytest.mark.skipif(not SANITIZED, reason="for the sanitized run")
def test_the_sanitized_run_merges_with_the_instrumented_module():
    # The fuzz above only looks for stray reads and writes where the module is built with
    # the address sanitizer.
    assert b"__asan_report" in Path(_dask_native.__file__).read_bytes()
