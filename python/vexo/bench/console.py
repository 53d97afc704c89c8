"""Where both benches write while they run: rich's console and progress bar when rich is
installed and the output is a terminal, plain text otherwise.

rich is optional (`pip install .[bench]`): nothing here imports it before it is asked for.
"""

import sys
from typing import Protocol, Self


class Progress(Protocol):
    """What a run reports its steps to; a context manager that clears itself at the end."""

    def __enter__(self) -> Self: ...

    def __exit__(self, *exc: object) -> bool | None: ...

    def advance(self, label: str) -> None:
        """Counts one step done, `label` naming it."""

    def describe(self, label: str) -> None:
        """Shows what runs now, without counting a step."""


def rich_console():
    """A rich console on standard output, when rich is installed and output is a terminal.

    Returns
    -------
    rich.console.Console or None
        None where rich is missing or the output is a file or a pipe: the caller then
        prints plain Markdown.
    """
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

    def __enter__(self) -> Self:
        return self

    def advance(self, label: str) -> None:
        self.done += 1
        self.describe(label)

    def describe(self, label: str) -> None:
        """Shows what runs now, without counting a step."""
        if self.shown:
            sys.stderr.write(f"\r\x1b[K[{self.done}/{self.total}] {label}")
            sys.stderr.flush()

    def __exit__(self, *exc: object) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


class RichProgress:
    """rich's progress bar on standard error, gone when the run ends."""

    def __init__(self, total: int):
        from rich.console import Console
        from rich.progress import (
            BarColumn,
            MofNCompleteColumn,
            TextColumn,
            TimeElapsedColumn,
        )
        from rich.progress import Progress as Bar

        self.bar = Bar(
            TextColumn("{task.description:<40}"),
            BarColumn(),
            MofNCompleteColumn(),
            TimeElapsedColumn(),
            console=Console(stderr=True),
            transient=True,
        )
        self.task = self.bar.add_task("starting", total=total)

    def __enter__(self) -> Self:
        self.bar.__enter__()
        return self

    def advance(self, label: str) -> None:
        self.bar.update(self.task, advance=1, description=label)

    def describe(self, label: str) -> None:
        self.bar.update(self.task, description=label)

    def __exit__(self, *exc: object) -> bool | None:
        return self.bar.__exit__(*exc)


def progress_bar(console, total: int) -> Progress:
    """The progress display that goes with `console`.

    Parameters
    ----------
    console : rich.console.Console or None
        What `rich_console` gave.
    total : int
        The steps the run will count.

    Returns
    -------
    Progress
        rich's bar with a rich console, the plain counter without.
    """
    return RichProgress(total) if console is not None else PlainProgress(total)
