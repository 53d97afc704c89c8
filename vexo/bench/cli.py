"""`python -m vexo.bench`: argument parsing, the pool-size child process, and the run."""

import argparse
import datetime
import os
import subprocess
import sys
import time
from collections.abc import Sequence

from vexo import patterns as pattern_generators

from . import catalog, machine, plot, report
from .measure import ERROR, MAX_CALLS, MIN_CALLS, SKIPPED, WRONG, Measurement, run_suite

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

# Set in the child that --threads starts, so it measures instead of starting another.
CHILD_VARIABLE = "VEXO_BENCH_CHILD"


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
        epilog=f"{catalog.BASELINE} is always measured: it is the baseline of every ratio.",
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
    interpreter = [sys.executable, *(["-P"] if sys.flags.safe_path else [])]
    env = {**os.environ, machine.POOL_SIZE_VARIABLE: str(threads), CHILD_VARIABLE: "1"}
    return subprocess.run([*interpreter, "-m", "vexo.bench", *argv], env=env).returncode


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
