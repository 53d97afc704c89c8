"""The report: one table per pattern, as Markdown-style plain text or with rich, and JSON.

Rows are contenders, columns sizes. A cell holds the median ns per element, the spread
of the calls and the time relative to numpy.sort on the same data; the plain form is a
Markdown table, so a run pastes straight into the README.
"""

import json
import sys
from collections.abc import Sequence
from dataclasses import dataclass

from vexo import patterns as pattern_generators

from . import markdown, status
from .catalog import BASELINE, HELD_BASELINE
from .measure import Measurement

SCHEMA = "vexo.bench/1"

LEGEND = (
    "Cells: median ns per element ±spread (half the interquartile range of the calls), then "
    "the time relative to NumPy on the same data (below 1x: faster than NumPy). Where NumPy "
    f"dispatches AVX-512, {HELD_BASELINE} is {BASELINE} held to its AVX2 sort, and ratios are "
    "to the faster of the two, named in each table's title."
)


def format_size(size: int) -> str:
    """10^k for powers of ten, d×10^k for their multiples by 2 to 9 from 2000 on, the
    plain number otherwise."""
    digits = str(size)
    leading, zeros = digits[0], len(digits) - 1
    if zeros and not digits[1:].strip("0"):  # one digit, then zeros
        if leading == "1":
            return f"10^{zeros}"
        if zeros >= 3:
            return f"{leading}×10^{zeros}"
    return f"{size:,}"


def format_figure(value: float) -> str:
    """Three significant figures at most, never scientific notation."""
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def format_cell(measurement: Measurement) -> str:
    if measurement.status != status.OK:
        return measurement.status
    text = f"{format_figure(measurement.median)} ±{measurement.spread * 100:.0f}%"
    if measurement.ratio is not None:
        text += f" {format_figure(measurement.ratio)}x"
    return text


@dataclass
class Table:
    pattern: str
    title: str
    sizes: list[int]
    rows: list[tuple[str, list[Measurement]]]


def tables(results: Sequence[Measurement]) -> list[Table]:
    """Groups the results by pattern, in the order they were measured."""
    by_pattern: dict[str, dict[str, dict[int, Measurement]]] = {}
    sizes: list[int] = []
    for measurement in results:
        by_pattern.setdefault(measurement.pattern, {}).setdefault(measurement.function, {})[
            measurement.size
        ] = measurement
        if measurement.size not in sizes:
            sizes.append(measurement.size)
    found = []
    for pattern, by_function in by_pattern.items():
        description = pattern_generators.DESCRIPTIONS.get(pattern, "")
        title = f"{pattern}: {description}" if description else pattern
        # With both NumPy rows, the title says which one the ratios are to.
        baselines = {m.baseline for cells in by_function.values() for m in cells.values()}
        if HELD_BASELINE in by_function and baselines - {""}:
            title += f"; ratios to {' and '.join(sorted(baselines - {''}))}"
        rows = [
            (function, [cells[size] for size in sizes if size in cells])
            for function, cells in by_function.items()
        ]
        found.append(Table(pattern, title, sizes, rows))
    return found


def failures(results: Sequence[Measurement]) -> list[Measurement]:
    """Measurements whose sort gave a wrong result or raised."""
    return [m for m in results if status.failed(m.status)]


def plain_table(table: Table) -> str:
    header = ["function", *map(format_size, table.sizes)]
    body = [[function, *map(format_cell, cells)] for function, cells in table.rows]
    figures = range(1, len(header))  # every column but the function's
    return "\n".join([table.title, "", *markdown.table(header, body, right=figures)])


def overview_table(results: Sequence[Measurement], size: int | None = None) -> str:
    """One compact table of the whole run: each function's time relative to NumPy on every
    pattern at one size.

    Parameters
    ----------
    results : sequence of Measurement
        The run's measurements.
    size : int, optional
        The size shown; default the largest measured.

    Returns
    -------
    str
        Its title, then the Markdown table: a row per function, a column per pattern, each
        cell the ratio (or why there is none: "quadratic" for a skipped one, or the failure).
    """
    size = size if size is not None else max(m.size for m in results)
    cells = {(m.function, m.pattern): m for m in results if m.size == size}
    functions = list(dict.fromkeys(function for function, _ in cells))
    patterns = list(dict.fromkeys(pattern for _, pattern in cells))

    def cell(function: str, pattern: str) -> str:
        measurement = cells.get((function, pattern))
        if measurement is None:
            return "not measured"
        if measurement.status == status.SKIPPED_QUADRATIC:
            return "quadratic"  # the narrowest column that still says why
        if measurement.status != status.OK or measurement.ratio is None:
            return measurement.status
        return f"{format_figure(measurement.ratio)}x"

    body = [[function, *(cell(function, p) for p in patterns)] for function in functions]
    title = (
        f"All patterns at {format_size(size)} elements: time relative to NumPy "
        "(quadratic: skipped, one call would take over a second)"
    )
    lines = markdown.table(["function", *patterns], body, right=range(1, len(patterns) + 1))
    return "\n".join([title, "", *lines])


def failure_lines(results: Sequence[Measurement]) -> list[str]:
    return [
        f"{m.function} on {m.pattern}, n={m.size}: {m.status}: {m.detail}"
        for m in failures(results)
    ]


def render_plain(
    results: Sequence[Measurement], heading: str, footer: str, out=None, overview: bool = False
) -> None:
    """Prints the report as Markdown: heading, legend, one table per pattern, the failures.

    Parameters
    ----------
    results : sequence of Measurement
        The run's measurements, in the order they were made.
    heading : str
        The first line: the machine.
    footer : str
        The last line: the counts, the time and the command.
    out : file, optional
        Where to print (default: standard output).
    overview : bool, optional
        Add `overview_table` after the tables.
    """
    out = out or sys.stdout
    parts = [heading, LEGEND, *map(plain_table, tables(results))]
    if overview:
        parts.append(overview_table(results))
    problems = failure_lines(results)
    if problems:
        parts.append("\n".join(["FAILURES:", *problems]))
    parts.append(footer)
    print("\n\n".join(parts), file=out)


def _cell_style(measurement: Measurement) -> str:
    if status.failed(measurement.status):
        return "bold red"
    if measurement.status != status.OK:
        return "dim"
    if measurement.function == measurement.baseline or measurement.ratio is None:
        return "bold"
    return "green" if measurement.ratio < 1 else ""


def render_rich(results: Sequence[Measurement], heading: str, footer: str, console) -> None:
    """Prints the report of `render_plain` as rich tables, failures in red and the cells
    faster than NumPy in green, on `console` (a rich.console.Console)."""
    from rich.table import Table as RichTable
    from rich.text import Text

    console.print(heading, highlight=False)
    console.print(LEGEND, style="dim", highlight=False)
    for table in tables(results):
        shown = RichTable(title=table.title, title_justify="left", title_style="bold")
        shown.add_column("function")
        for size in table.sizes:
            shown.add_column(format_size(size), justify="right")
        for function, cells in table.rows:
            shown.add_row(
                function, *(Text(format_cell(cell), style=_cell_style(cell)) for cell in cells)
            )
        console.print()
        console.print(shown)
    problems = failure_lines(results)
    if problems:
        console.print()
        console.print("FAILURES:", style="bold red")
        for problem in problems:
            console.print(problem, style="red", highlight=False, markup=False)
    console.print()
    console.print(footer, highlight=False)


def as_json(
    results: Sequence[Measurement],
    *,
    machine: dict,
    settings: dict,
    command: list[str],
    created: str,
    elapsed: float,
) -> dict:
    """Every raw figure of the run, with what it ran on and how it was asked for.

    Parameters
    ----------
    results : sequence of Measurement
        The run's measurements.
    machine : dict
        machine.describe() of the run.
    settings : dict
        The options the run had.
    command : list of str
        Its arguments.
    created : str
        When it started (ISO 8601, UTC).
    elapsed : float
        Its length in seconds.

    Returns
    -------
    dict
        The record, marked with SCHEMA, ready for `write_json`.
    """

    def entry(m: Measurement) -> dict:
        figures = None
        if m.times_ns:
            figures = {
                "median": m.median,
                "min": min(m.times_ns) / m.size,
                "max": max(m.times_ns) / m.size,
            }
        return {
            "function": m.function,
            "pattern": m.pattern,
            "size": m.size,
            "status": m.status,
            "times_ns": list(m.times_ns),
            "ns_per_element": figures,
            "ratio_to_numpy": m.ratio,
            "ratio_to": m.baseline or None,
            "detail": m.detail,
        }

    return {
        "schema": SCHEMA,
        "created": created,
        "command": command,
        "elapsed_seconds": elapsed,
        "machine": machine,
        "settings": settings,
        "results": [entry(m) for m in results],
    }


def write_json(path: str, document: dict) -> None:
    """Writes `document` (what `as_json` made) to the file `path`, indented, UTF-8."""
    with open(path, "w", encoding="utf-8") as out:
        json.dump(document, out, indent=1)
        out.write("\n")
