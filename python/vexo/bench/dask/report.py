"""The Dask bench's report: one table of every run, as Markdown or with rich.

Rows are runs (a contender at a size), columns the figures of each; every time is also
given relative to vexo.dask.sort's at the same size.
"""

from collections.abc import Sequence

from .. import markdown
from ..report import format_size
from .timing import VEXO, Run

HEADER = [
    "elements",
    "contender",
    "seconds",
    "range",
    "p90/p10",
    "elements/s",
    "time / vexo's",
    "CPU seconds",
    "CPU ns/element",
    "of it system",
    "peak memory",
    "peak disk",
]
LEGEND = (
    "seconds and CPU seconds: medians over the repetitions, whose fastest and slowest times "
    "are the range; peak memory: the largest resident memory of one worker process during the "
    "sorts (of this process for numpy.sort); CPU seconds: processor time of all workers (of "
    "this process for numpy.sort), and of it the time in the kernel (of it system); p90/p10: "
    "the 90th percentile of the times over the 10th, from 3 repetitions on; time / vexo's: "
    "above 1x, vexo.dask.sort is that much faster; "
    "peak disk: the most the spilled data took, where the workers spill."
)


def format_bytes(count: int | None) -> str:
    """A byte count in GiB, two decimals; nothing where there was none to measure."""
    return "" if count is None else f"{count / 2**30:.2f} GiB"


def table_rows(runs: Sequence[Run]) -> list[list[str]]:
    """One row per run, the columns of HEADER; a run without a time shows its status."""
    vexo_seconds = {run.size: run.seconds for run in runs if run.contender == VEXO}
    rows = []
    for run in runs:
        if run.seconds is None:
            rows.append(
                [format_size(run.size), run.contender, run.status] + [""] * (len(HEADER) - 3)
            )
            continue
        mine = vexo_seconds.get(run.size)
        ratio = f"{run.seconds / mine:.2f}x" if mine else ""
        spread = f"{min(run.times):.2f}-{max(run.times):.2f}" if len(run.times) > 1 else ""
        rows.append(
            [
                format_size(run.size),
                run.contender,
                f"{run.seconds:.2f}",
                spread,
                "" if run.spread is None else f"{run.spread:.2f}",
                f"{run.rate / 1e6:.1f} M",
                ratio,
                f"{run.cpu_seconds:.1f}",
                f"{run.cpu_seconds / run.size * 1e9:.0f}",
                f"{run.system_seconds / run.size * 1e9:.0f}",
                format_bytes(run.peak_bytes),
                format_bytes(run.disk_bytes),
            ]
        )
    return rows


def render(runs: Sequence[Run], heading: str, footer: str, console) -> None:
    """Prints the report: the table, its legend and `footer`.

    Parameters
    ----------
    runs : sequence of Run
        Every run, in the order the table lists them.
    heading : str
        The table's title: the cluster and the machine.
    footer : str
        The last line: how many runs, how long, and the command.
    console : rich.console.Console or None
        rich's console, or None for a plain Markdown table on standard output.
    """
    rows = table_rows(runs)
    if console is None:
        print("\n".join([heading, "", LEGEND, "", *markdown.table(HEADER, rows), "", footer]))
        return
    from rich.table import Table

    table = Table(title=heading, title_justify="left")
    for column in HEADER:
        table.add_column(column, justify="left" if column == "contender" else "right")
    for row in rows:
        table.add_row(*row, style="bold" if row[1] == VEXO else None)
    console.print(table)
    console.print(LEGEND, style="dim", highlight=False)
    console.print(footer, highlight=False)
