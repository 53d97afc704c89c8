"""`python -m vexo.bench.dask`: vexo.dask.sort on a LocalCluster against Dask's other sorts.

The options become a `Settings` and a list of `Plan`s (the settings module); the timing
module measures them and the report module prints the table.
"""

import argparse
import datetime
import os
import sys
import time
from collections.abc import Sequence

from .. import machine, status
from ..console import progress_bar, rich_console
from ..options import parse_size, parse_sizes, positive_int
from . import cluster, report, timing
from .settings import DEFAULT_CHUNK_SIZE, DEFAULT_REPEAT, DEFAULT_WORKERS, Plan, Settings

# A first run takes under a minute on two cores; 10^8 elements, and the run beyond the
# workers' memory (--spill: 4×10^8, 3.2 GB), are asked for.
DEFAULT_SIZES = (10**6, 10**7)
DEFAULT_SPILL_SIZE = 4 * 10**8
DEFAULT_SPILL_MEMORY_LIMIT = "1.5GB"


def build_parser() -> argparse.ArgumentParser:
    """The Dask bench's options (``--help`` describes each)."""
    parser = argparse.ArgumentParser(
        prog="python -m vexo.bench.dask", description=__doc__.split("\n\n")[0].split(": ", 1)[1]
    )
    parser.add_argument(
        "--sizes",
        type=parse_sizes,
        default=list(DEFAULT_SIZES),
        help="comma-separated sizes sorted on the unlimited cluster (default: 1e6,1e7)",
    )
    parser.add_argument(
        "--spill-size",
        type=parse_sizes,
        default=None,
        help="sizes sorted on memory-limited workers, spilling to disk: the beyond-memory run, "
        "which giving them asks for (none by default; --spill: 4e8)",
    )
    parser.add_argument(
        "--spill-memory-limit",
        default=DEFAULT_SPILL_MEMORY_LIMIT,
        help="memory limit of each worker in the spilling run "
        f"(default: {DEFAULT_SPILL_MEMORY_LIMIT})",
    )
    parser.add_argument(
        "--spill-directory",
        default=None,
        help="where the workers of the spilling run spill (default: Dask's, in the temporary "
        "directory)",
    )
    only = parser.add_mutually_exclusive_group()
    only.add_argument(
        "--spill",
        action="store_true",
        help="also the beyond-memory run, at --spill-size (default 4e8, 3.2 GB)",
    )
    only.add_argument(
        "--no-spill", action="store_true", help="no beyond-memory run, even with --spill-size"
    )
    only.add_argument("--spill-only", action="store_true", help="only the beyond-memory run")
    parser.add_argument(
        "--workers",
        type=positive_int,
        default=DEFAULT_WORKERS,
        help=f"worker processes (default: {DEFAULT_WORKERS})",
    )
    parser.add_argument(
        "--threads-per-worker",
        type=positive_int,
        default=1,
        help="task threads of each worker process (default: 1)",
    )
    parser.add_argument(
        "--pool-threads",
        type=positive_int,
        default=None,
        help="threads of each worker's vexo pool (default: the worker's share of the cores)",
    )
    parser.add_argument(
        "--repeat",
        type=positive_int,
        default=DEFAULT_REPEAT,
        help="runs of each contender at each size, medians reported; the beyond-memory run "
        f"runs once (default: {DEFAULT_REPEAT})",
    )
    parser.add_argument(
        "--chunk-size",
        type=parse_size,
        default=DEFAULT_CHUNK_SIZE,
        help="elements per input chunk at most, in at least "
        f"{timing.MIN_CHUNKS_PER_WORKER} chunks per worker (default: "
        f"{DEFAULT_CHUNK_SIZE:,})",
    )
    parser.add_argument(
        "--retain-freed-memory",
        action="store_true",
        help="workers keep the memory they free for their next allocations "
        "(glibc: " + " ".join(f"{k}={v}" for k, v in cluster.RETAIN_FREED_MEMORY.items()) + ")",
    )
    parser.add_argument(
        "--contenders",
        default=",".join(timing.CONTENDERS),
        help=f"comma-separated, out of: {', '.join(timing.CONTENDERS)}",
    )
    parser.add_argument(
        "--plain",
        action="store_true",
        help="a plain-text (Markdown) table even where rich is installed",
    )
    return parser


def chosen_contenders(parser: argparse.ArgumentParser, text: str) -> list[str]:
    """The contenders `--contenders` names, in its order, vexo.dask.sort first if it was not
    named; a usage error for an unknown one or none."""
    contenders = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in contenders if name not in timing.CONTENDERS]
    if unknown or not contenders:
        parser.error(f"unknown contenders {unknown}; available: {', '.join(timing.CONTENDERS)}")
    if timing.VEXO not in contenders:
        contenders.insert(0, timing.VEXO)  # every ratio is against it
    return contenders


def plans(args: argparse.Namespace) -> list[Plan]:
    """The sizes within memory, then those beyond it, as the options choose."""
    within = [] if args.spill_only else [Plan(size) for size in args.sizes]
    asked = args.spill or args.spill_only or args.spill_size is not None
    beyond = [] if args.no_spill or not asked else args.spill_size or [DEFAULT_SPILL_SIZE]
    return within + [Plan(size, args.spill_memory_limit) for size in beyond]


def settings(args: argparse.Namespace) -> Settings:
    """What the timing takes from the options."""
    return Settings(
        workers=args.workers,
        threads=args.threads_per_worker,
        pool_threads=args.pool_threads,
        repeat=args.repeat,
        chunk_size=args.chunk_size,
        retain_freed_memory=args.retain_freed_memory,
        spill_directory=args.spill_directory,
    )


def heading(setup: Settings, described: dict) -> str:
    """The table's title: when, the cluster, and the machine."""
    created = datetime.datetime.now(datetime.UTC).isoformat(timespec="minutes")
    return (
        f"vexo.dask bench, {created}: {setup.workers} worker processes, "
        f"{setup.threads} task thread{'s' * (setup.threads > 1)} and a "
        f"{cluster.pool_share(setup)}-thread vexo pool each"
        f"{', keeping freed memory' if setup.retain_freed_memory else ''}; "
        f"{machine.one_line(described)}"
    )


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the Dask bench, as `python -m vexo.bench.dask` does.

    Parameters
    ----------
    argv : sequence of str, optional
        The options, as `vexo.bench.cli.main` takes its own; default: sys.argv[1:].

    Returns
    -------
    int
        1 when a contender's result was wrong or it raised, else 0; argparse exits with
        status 2 on options it cannot use.

    Notes
    -----
    Needs Dask, distributed and psutil (``pip install "vexo-sort[dask]"``); the dataframe
    contender also needs pandas, and is reported unavailable without it.
    """
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args = parser.parse_args(argv)
    contenders = chosen_contenders(parser, args.contenders)
    planned = plans(args)
    setup = settings(args)

    console = None if args.plain else rich_console()
    described = machine.describe()
    started = time.perf_counter()
    with progress_bar(console, timing.steps(setup, planned, contenders)) as progress:
        runs = timing.run_plans(setup, planned, contenders, progress)
    elapsed = time.perf_counter() - started

    load = ", ".join(f"{figure:.1f}" for figure in os.getloadavg())
    footer = (
        f"{sum(len(run.times) for run in runs)} runs in {elapsed:.0f} s; load average at the "
        f"end: {load}; by: python -m vexo.bench.dask {' '.join(argv)}"
    ).rstrip()
    report.render(runs, heading(setup, described), footer, console)
    return 1 if any(status.failed(run.status) for run in runs) else 0
