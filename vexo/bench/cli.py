"""`python -m vexo.bench`: argument parsing, the pool-size child process, and the run."""

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

from . import catalog, machine, plot, report
from .measure import (
    ERROR,
    MAX_CALLS,
    MIN_CALLS,
    SKIPPED,
    WRONG,
    Measurement,
    against_the_faster,
    run_suite,
)

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


def parse_size(text: str) -> int:
    """A size such as 1000, 1_000, 1e3 or 10^3."""
    text = text.strip()
    try:
        if "^" in text:
            base, _, exponent = text.partition("^")
            value = int(base) ** int(exponent)
        elif "e" in text.lower():
            number = float(text)
            if not number.is_integer():
                raise ValueError
            value = int(number)
        else:
            value = int(text)
    except ValueError, OverflowError:
        raise argparse.ArgumentTypeError(f"not a whole number of elements: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"sizes must be at least 1, got {text!r}")
    return value


def parse_sizes(text: str) -> list[int]:
    sizes = sorted({parse_size(part) for part in text.split(",") if part.strip()})
    if not sizes:
        raise argparse.ArgumentTypeError("no sizes given")
    return sizes


def name_list(known: Sequence[str], what: str):
    """An argparse type: comma-separated names out of `known`, returned in `known`'s order."""

    def parse(text: str) -> list[str]:
        names = [part.strip() for part in text.split(",") if part.strip()]
        unknown = [name for name in names if name not in known]
        if unknown:
            raise argparse.ArgumentTypeError(
                f"unknown {what} {', '.join(map(repr, unknown))}; available: {', '.join(known)}"
            )
        if not names:
            raise argparse.ArgumentTypeError(f"no {what} given")
        return [name for name in known if name in names]

    return parse


def checked_number(convert, what: str, accept, requirement: str):
    """An argparse type: `convert(text)`, refused unless `accept` holds for the value."""

    def parse(text: str):
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {what}: {text!r}") from None
        if not accept(value):
            raise argparse.ArgumentTypeError(f"must be {requirement}, got {text!r}")
        return value

    return parse


positive_int = checked_number(int, "a whole number", lambda value: value >= 1, "at least 1")
positive_float = checked_number(
    float, "a number", lambda value: 0 < value < float("inf"), "above 0 and finite"
)


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
        help="draw ns per element against size, one panel per pattern (needs matplotlib)",
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
    interpreter = [sys.executable, *(["-P"] if sys.flags.safe_path else [])]
    command = [*interpreter, "-m", "vexo.bench", *argv]
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
                Measurement(catalog.HELD_BASELINE, pattern, size, ERROR, detail=detail)
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


def rich_console():
    """A rich console on standard output when rich is installed and output is a terminal."""
    try:
        from rich.console import Console
    except ImportError:
        return None
    console = Console()
    return console if console.is_terminal else None


class PlainProgress:
    """A one-line counter on standard error, only when it is a terminal."""

    def __init__(self, total: int):
        self.total = total
        self.done = 0
        self.shown = sys.stderr.isatty()

    def __enter__(self):
        return self

    def advance(self, label: str) -> None:
        self.done += 1
        self.describe(label)

    def describe(self, label: str) -> None:
        """Shows what runs now, without counting a step."""
        if self.shown:
            sys.stderr.write(f"\r\x1b[K[{self.done}/{self.total}] {label}")
            sys.stderr.flush()

    def __exit__(self, *exc):
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


class RichProgress:
    def __init__(self, total: int):
        from rich.console import Console
        from rich.progress import (
            BarColumn,
            MofNCompleteColumn,
            Progress,
            TextColumn,
            TimeElapsedColumn,
        )

        self.bar = Progress(
            TextColumn("{task.description:<40}"),
            BarColumn(),
            MofNCompleteColumn(),
            TimeElapsedColumn(),
            console=Console(stderr=True),
            transient=True,
        )
        self.task = self.bar.add_task("starting", total=total)

    def __enter__(self):
        self.bar.__enter__()
        return self

    def advance(self, label: str) -> None:
        self.bar.update(self.task, advance=1, description=label)

    def describe(self, label: str) -> None:
        self.bar.update(self.task, description=label)

    def __exit__(self, *exc):
        return self.bar.__exit__(*exc)


def summary(results: Sequence[Measurement], elapsed: float, argv: Sequence[str]) -> str:
    skipped = sum(m.status == SKIPPED for m in results)
    failed = sum(m.status in (WRONG, ERROR) for m in results)
    timed = len(results) - skipped - failed
    counts = f"{len(results)} measurements ({timed} timed, {skipped} skipped, {failed} failed)"
    return f"{counts} in {elapsed:.1f} s by: python -m vexo.bench {' '.join(argv)}".rstrip()


def main(argv: Sequence[str] | None = None) -> int:
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

    names = (
        args.functions
        if catalog.BASELINE in args.functions
        else [catalog.BASELINE, *args.functions]
    )
    contenders = [offered[name] for name in names]
    console = None if args.plain else rich_console()
    progress_type = RichProgress if console is not None else PlainProgress
    total = len(contenders) * len(args.patterns) * len(args.sizes)
    described = machine.describe()

    created = datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
    started = time.perf_counter()
    with progress_type(total) as progress:
        results = run_suite(
            contenders,
            args.patterns,
            args.sizes,
            repeat=args.repeat,
            budget_ns=int(args.time_budget * 1e9),
            seed=args.seed,
            progress=progress.advance,
        )
    held = os.environ.get(CHILD_VARIABLE) != HELD_CHILD and machine.dispatches_avx512(
        described["numpy_simd"]
    )
    held_simd = None
    held_environment = machine.numpy_without_avx512(described["numpy_simd"])
    if held:
        held_results, held_simd = measure_held_numpy(args, held_environment)
        results = with_held_numpy(results, held_results)
    elapsed = time.perf_counter() - started

    heading = f"vexo bench: {machine.one_line(described)}"
    footer = summary(results, elapsed, argv)
    if console is None:
        report.render_plain(results, heading, footer)
    else:
        report.render_rich(results, heading, footer, console)
    if args.json:
        settings = {
            "functions": names,
            "patterns": args.patterns,
            "sizes": args.sizes,
            "repeat": args.repeat,
            "time_budget_seconds": args.time_budget,
            "seed": args.seed,
            "threads": described["pool_threads"],
            # The environment of the held NumPy's child, and what its NumPy then ran.
            "numpy_held": {"environment": held_environment, "simd": held_simd} if held else None,
            "quadratic_step_limit": catalog.QUADRATIC_STEP_LIMIT,
        }
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
