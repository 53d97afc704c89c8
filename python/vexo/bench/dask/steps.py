"""`python -m vexo.bench.dask.steps`: the local steps of vexo.dask.sort, in one process.

Times every candidate for the two steps that touch every element on a worker, on the
shapes each sees there, with a vexo pool of --threads threads (a worker's share of the
cores; default 1, as on 2 one-thread workers of a 2-core machine):

- the chunk sort: a copy of an input chunk of --size elements, sorted in place, on the
  patterns an input chunk may hold;
- the partition merge: --size elements held as 8 or 80 sorted pieces (one per input
  chunk), turned into one new sorted array: vexo.dask's merge tree (vexo._dask_native),
  or the pieces concatenated and sorted.

Each figure is the median of --repeat calls, in ns per element, after one untimed call,
and every result is checked against numpy.sort. numpy.sort stands in both tables for
scale only.
"""

import argparse
import os
import statistics
import sys
import time
from collections.abc import Callable, Sequence

import numpy as np

from vexo import patterns

from .. import markdown
from ..options import parse_size, positive_int

CHUNK_PATTERNS = ("random", "small_range", "ascending", "nearly_sorted", "few_distinct")
CHUNK_PATTERNS += ("organ_pipe",)
CHUNK_SORTS = ("par_sort_unstable", "smart", "par_sort", "pdq", "radix")
MERGE_SORTS = ("par_sort", "par_merge", "par_sort_unstable", "smart", "pdq", "tim")
MERGE_SHAPES = ((8, "random"), (16, "random"), (80, "random"), (80, "small_range"))


def sorted_copy(sort: Callable[[np.ndarray], object]) -> Callable[[np.ndarray], np.ndarray]:
    """A chunk sort: a copy of the chunk, sorted in place by `sort`."""

    def run(chunk: np.ndarray) -> np.ndarray:
        ours = chunk.copy()
        sort(ours)
        return ours

    return run


def concatenated(sort: Callable[[np.ndarray], object]) -> Callable[[list], np.ndarray]:
    """A partition merge: the pieces concatenated, then sorted in place by `sort`."""

    def run(pieces: list) -> np.ndarray:
        merged = np.concatenate(pieces)
        sort(merged)
        return merged

    return run


def chunk_candidates() -> dict[str, Callable[[np.ndarray], np.ndarray]]:
    """Every chunk sort on offer, by name."""
    from vexo import _vexo

    found = {name: sorted_copy(getattr(_vexo, name)) for name in CHUNK_SORTS}
    return found | {"numpy.sort": np.sort}


def merge_candidates() -> dict[str, Callable[[list], np.ndarray]]:
    """Every partition merge on offer, by name: vexo.dask's own first."""
    from vexo import _vexo, dask

    found = {"merge tree": dask._merged_values}
    found |= {name: concatenated(getattr(_vexo, name)) for name in MERGE_SORTS}
    return found | {"numpy.sort": lambda pieces: np.sort(np.concatenate(pieces))}


def sorted_pieces(pattern: str, size: int, runs: int, seed: int) -> list[np.ndarray]:
    """`size` elements of `pattern` as `runs` sorted pieces of near-equal length."""
    values = patterns.make(pattern, size, seed)
    return [np.sort(piece) for piece in np.array_split(values, runs)]


def median_ns_per_element(step: Callable, argument, size: int, repeat: int) -> float:
    """The median time of `repeat` calls of step(argument), each checked, per element,
    after one untimed call (the pool's start and the first touch of its memory)."""
    expected = np.sort(np.concatenate(argument) if isinstance(argument, list) else argument)
    step(argument)
    times = []
    for _ in range(repeat):
        started = time.perf_counter_ns()
        result = step(argument)
        times.append(time.perf_counter_ns() - started)
        if not np.array_equal(result, expected):
            raise AssertionError(f"{step} returned a wrong result")
    return statistics.median(times) / size


def table(
    rows: Sequence[tuple[str, object]], candidates: dict, size: int, repeat: int
) -> list[str]:
    """A Markdown table: one row per (label, argument), one column per candidate."""
    cells = [
        [label]
        + [f"{median_ns_per_element(step, arg, size, repeat):.1f}" for step in candidates.values()]
        for label, arg in rows
    ]
    return markdown.table(["", *candidates], cells, right=range(1, len(candidates) + 1))


def build_parser() -> argparse.ArgumentParser:
    """The step bench's options."""
    parser = argparse.ArgumentParser(
        prog="python -m vexo.bench.dask.steps",
        description=__doc__.split("\n\n")[0].split(": ", 1)[1],
    )
    parser.add_argument(
        "--size",
        type=parse_size,
        default=4_000_000,
        help="elements of the sorted chunk and of the merged partition (default: 4e6)",
    )
    parser.add_argument(
        "--repeat",
        type=positive_int,
        default=3,
        help="timed calls per figure, after one untimed call; medians (default: 3)",
    )
    parser.add_argument(
        "--threads",
        type=positive_int,
        default=1,
        help="threads of the vexo pool, a worker's share of the cores (default: 1)",
    )
    parser.add_argument("--seed", type=int, default=1, help="seed of the inputs (default: 1)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Prints both tables.

    Parameters
    ----------
    argv : sequence of str, optional
        The options; default: sys.argv[1:].

    Returns
    -------
    int
        0; argparse exits with status 2 on options it cannot use.
    """
    args = build_parser().parse_args(sys.argv[1:] if argv is None else argv)
    # vexo's pool reads it once, at its first use, which comes after this.
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    size, repeat = args.size, args.repeat
    chunks = [(name, patterns.make(name, size, args.seed)) for name in CHUNK_PATTERNS]
    merges = [
        (f"{runs} runs, {name}", sorted_pieces(name, size, runs, args.seed))
        for runs, name in MERGE_SHAPES
    ]
    print(f"ns per element, {size:,} elements, median of {repeat}, {args.threads}-thread pool")
    print("\nchunk sort (a copy, sorted):\n")
    print("\n".join(table(chunks, chunk_candidates(), size, repeat)))
    print("\npartition merge (sorted pieces into one new sorted array):\n")
    print("\n".join(table(merges, merge_candidates(), size, repeat)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
