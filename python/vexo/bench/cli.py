"""`python -m vexo.bench`: the sort bench's options, the pool-size child process, and the run.

What it measures comes from catalog and measure, how it says so from report and plot; this
module only puts them together for one command.
"""

import argparse
import datetime
import json
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence

from vexo import patterns as pattern_generators

from . import catalog, machine, plot, report, status
from .console import progress_bar, rich_console
from .measure import MAX_CALLS, MIN_CALLS, Measurement, against_the_faster, run_suite
from .options import name_list, parse_sizes, positive_float, positive_int

DEFAULT_PATTERNS = (
    "random",
    "small_range",
    "ascending",
    "descending",
    "nearly_sorted",
    "few_distinct",
    "organ_pipe",
    "sawtooth",
)
DEFAULT_SIZES = (10**3, 10**4, 10**5, 10**6)
DEFAULT_REPEAT = 5
# Per measurement: enough for five calls of a good sort at 10^6 elements, while the slow
# ones stop after three, which keeps the default run near a minute on two cores.
DEFAULT_TIME_BUDGET = 0.25
DEFAULT_SEED = 1

# Set in the children the bench starts: "1" in the one --threads starts, so it measures
# instead of starting another; HELD_CHILD in the one that times NumPy on its AVX2 sort.
CHILD_VARIABLE = "VEXO_BENCH_CHILD"
HELD_CHILD = "numpy-avx2"


def build_parser(function_names: Sequence[str]) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m vexo.bench",
        description="Time vexo's sorts against numpy.sort on named input patterns and sizes.",
        epilog=f"{catalog.BASELINE} is always measured, and where NumPy dispatches AVX-512 also "
        f"{catalog.HELD_BASELINE}, held to its AVX2 sort in a child process: ratios are to "
        "the faster of the two.",
    )
    parser.add_argument(
        "--functions",
        type=name_list(function_names, "function"),
        default=list(function_names),
        help=f"comma-separated functions to time (default: all of {', '.join(function_names)})",
    )
    parser.add_argument(
        "--patterns",
        type=name_list(pattern_generators.NAMES, "pattern"),
        default=list(DEFAULT_PATTERNS),
        help=f"comma-separated input patterns (default: {','.join(DEFAULT_PATTERNS)}; also "
        f"{', '.join(n for n in pattern_generators.NAMES if n not in DEFAULT_PATTERNS)})",
    )
    parser.add_argument(
        "--sizes",
        type=parse_sizes,
        default=list(DEFAULT_SIZES),
        help="comma-separated array sizes, e.g. 1e3,10^4,250000 (default: 1e3,1e4,1e5,1e6)",
    )
    parser.add_argument(
        "--repeat",
        type=positive_int,
        default=DEFAULT_REPEAT,
        help="timed calls per measurement, each on a fresh copy; short calls repeat up to "
        f"{MAX_CALLS} times (default: {DEFAULT_REPEAT})",
    )
    parser.add_argument(
        "--time-budget",
        type=positive_float,
        default=DEFAULT_TIME_BUDGET,
        metavar="SECONDS",
        help="stop repeating a measurement once its calls took this long, after at least "
        f"{MIN_CALLS} (default: {DEFAULT_TIME_BUDGET})",
    )
    parser.add_argument(
        "--seed",
        type=int,
        default=DEFAULT_SEED,
        help=f"seed of the pattern generators (default: {DEFAULT_SEED})",
    )
    parser.add_argument(
        "--threads",
        type=positive_int,
        metavar="N",
        help="measure in a child process whose worker pool has N threads "
        f"({machine.POOL_SIZE_VARIABLE}=N)",
    )
    parser.add_argument(
        "--json", metavar="FILE", help="write every raw figure, with the machine, to FILE"
    )
    parser.add_argument(
        "--plot",
        metavar="FILE.png",
        help="draw the time relative to NumPy against size, one panel per pattern, log axes "
        "(needs matplotlib)",
    )
    parser.add_argument(
        "--overview",
        action="store_true",
        help="after the tables, one compact table of every function's time relative to NumPy "
        "on every pattern at the largest size (plain Markdown)",
    )
    parser.add_argument(
        "--plain",
        action="store_true",
        help="plain-text (Markdown) tables even where rich is installed",
    )
    parser.add_argument(
        "--list", action="store_true", help="list the functions and patterns on offer and exit"
    )
    return parser


def run_in_child(argv: Sequence[str], threads: int) -> int:
    """Runs the same bench in a fresh interpreter whose pool gets `threads` workers.

    The pool reads its size once, when a process first needs it, so only a new process
    can measure with another size.
    """
    env = {machine.POOL_SIZE_VARIABLE: str(threads), CHILD_VARIABLE: "1"}
    return bench_child(argv, env).returncode


def bench_child(argv: Sequence[str], env: dict[str, str], **options) -> subprocess.CompletedProcess:
    """`python -m vexo.bench ARGV` in a fresh interpreter, with `env` added to ours."""
    command = [sys.executable, "-m", "vexo.bench", *argv]
    return subprocess.run(command, env={**os.environ, **env}, **options)


def measure_held_numpy(
    args: argparse.Namespace, held_environment: dict[str, str]
) -> tuple[list[Measurement], dict | None]:
    """numpy.sort timed on the same patterns, sizes and seed in a child process whose NumPy
    is held to its AVX2 sort by `held_environment` (NumPy reads its dispatch settings once,
    when imported), as HELD_BASELINE; and the child's numpy_simd(). An error for each cell
    when the child gave no record."""
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "held.json")
        argv = [
            *("--functions", catalog.BASELINE, "--patterns", ",".join(args.patterns)),
            *("--sizes", ",".join(map(str, args.sizes)), "--repeat", str(args.repeat)),
            *("--time-budget", repr(args.time_budget), "--seed", str(args.seed)),
            *("--plain", "--json", path),
        ]
        env = {**held_environment, CHILD_VARIABLE: HELD_CHILD}
        done = bench_child(argv, env, stdout=subprocess.DEVNULL)
        try:
            with open(path, encoding="utf-8") as record:
                held = json.load(record)
        except OSError:
            detail = f"the child process exited with {done.returncode} and wrote no record"
            failed = [
                Measurement(catalog.HELD_BASELINE, pattern, size, status.ERROR, detail=detail)
                for size in args.sizes
                for pattern in args.patterns
            ]
            return failed, None
    return [
        Measurement(
            catalog.HELD_BASELINE, e["pattern"], e["size"], e["status"], e["times_ns"], e["detail"]
        )
        for e in held["results"]
    ], held["machine"]["numpy_simd"]


def with_held_numpy(results: list[Measurement], held: list[Measurement]) -> list[Measurement]:
    """`results` with each of `held` right after numpy.sort's measurement of its cell, and
    every ratio to the faster of the two NumPy sorts."""
    by_cell = {(m.pattern, m.size): m for m in held}
    merged = []
    for measurement in results:
        merged.append(measurement)
        if measurement.function == catalog.BASELINE:
            merged.append(by_cell[measurement.pattern, measurement.size])
    return against_the_faster(merged, [catalog.BASELINE, catalog.HELD_BASELINE])


def summary(results: Sequence[Measurement], elapsed: float, argv: Sequence[str]) -> str:
    """The report's last line: how many measurements, how they went, how long, and the
    command that asked for them."""
    skipped = sum(m.status == status.SKIPPED_QUADRATIC for m in results)
    failed = sum(status.failed(m.status) for m in results)
    timed = len(results) - skipped - failed
    counts = f"{len(results)} measurements ({timed} timed, {skipped} skipped, {failed} failed)"
    return f"{counts} in {elapsed:.1f} s by: python -m vexo.bench {' '.join(argv)}".rstrip()


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the sort bench, as `python -m vexo.bench` does.

    Parameters
    ----------
    argv : sequence of str, optional
        The command-line arguments (``--help`` lists them); default: the process's own.

    Returns
    -------
    int
        The exit status: 0, or 1 when a sort gave a wrong result or raised.

    Raises
    ------
    SystemExit
        With status 2 (and the usage on standard error) for arguments it cannot use.

    Notes
    -----
    With ``--threads`` the run happens in a child process, whose status this returns.
    """
    argv = list(sys.argv[1:] if argv is None else argv)
    offered = catalog.available()
    parser = build_parser(list(offered))
    args = parser.parse_args(argv)
    if args.list:
        print("functions:", ", ".join(offered))
        print("patterns: ", ", ".join(pattern_generators.NAMES))
        return 0
    if args.plot and not plot.available():
        parser.error("--plot needs matplotlib, which is not installed")
    if args.threads is not None and os.environ.get(CHILD_VARIABLE) != "1":
        return run_in_child(argv, args.threads)
    return run(args, argv, offered)


def run(args: argparse.Namespace, argv: list[str], offered: dict[str, catalog.Contender]) -> int:
    """Measures, reports and records what `args` ask for, in this process; main's status."""
    names = (
        args.functions
        if catalog.BASELINE in args.functions
        else [catalog.BASELINE, *args.functions]
    )
    console = None if args.plain else rich_console()
    described = machine.describe()

    created = datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
    started = time.perf_counter()
    results, numpy_held = measure_all(args, [offered[name] for name in names], console, described)
    elapsed = time.perf_counter() - started

    heading = f"vexo bench: {machine.one_line(described)}"
    footer = summary(results, elapsed, argv)
    if console is None:
        report.render_plain(results, heading, footer, overview=args.overview)
    else:
        report.render_rich(results, heading, footer, console)
        if args.overview:
            console.print()
            console.print(report.overview_table(results), highlight=False, markup=False)
    if args.json:
        settings = json_settings(args, names, described["pool_threads"], numpy_held)
        report.write_json(
            args.json,
            report.as_json(
                results,
                machine=described,
                settings=settings,
                command=argv,
                created=created,
                elapsed=elapsed,
            ),
        )
    if args.plot:
        plot.draw(results, args.plot, heading)
    return 1 if report.failures(results) else 0


def measure_all(
    args: argparse.Namespace, contenders: list[catalog.Contender], console, described: dict
) -> tuple[list[Measurement], dict | None]:
    """Every contender on every pattern and size, then, where NumPy dispatches AVX-512 here,
    NumPy held to its AVX2 sort in a child process, with every ratio to the faster NumPy.

    Returns the measurements, and for the record the held NumPy's child environment and
    what its NumPy then ran (None when there was no such child).
    """
    total = len(contenders) * len(args.patterns) * len(args.sizes)
    with progress_bar(console, total) as progress:
        results = run_suite(
            contenders,
            args.patterns,
            args.sizes,
            repeat=args.repeat,
            budget_ns=int(args.time_budget * 1e9),
            seed=args.seed,
            progress=progress.advance,
        )
    simd = described["numpy_simd"]
    if os.environ.get(CHILD_VARIABLE) == HELD_CHILD or not machine.dispatches_avx512(simd):
        return results, None
    environment = machine.numpy_without_avx512(simd)
    held_results, held_simd = measure_held_numpy(args, environment)
    return with_held_numpy(results, held_results), {"environment": environment, "simd": held_simd}


def json_settings(
    args: argparse.Namespace, names: list[str], threads: int | None, numpy_held: dict | None
) -> dict:
    """How the run was asked for, as the JSON record keeps it."""
    return {
        "functions": names,
        "patterns": args.patterns,
        "sizes": args.sizes,
        "repeat": args.repeat,
        "time_budget_seconds": args.time_budget,
        "seed": args.seed,
        "threads": threads,
        "numpy_held": numpy_held,
        "quadratic_step_limit": catalog.QUADRATIC_STEP_LIMIT,
    }
