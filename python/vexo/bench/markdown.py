"""Markdown tables as both benches print them.

Every column is padded to its widest cell, so the plain output reads as a table in a
terminal and pastes straight into the README.
"""

from collections.abc import Collection, Sequence


def table(
    header: Sequence[str], rows: Sequence[Sequence[str]], right: Collection[int] = ()
) -> list[str]:
    """The lines of a Markdown table.

    Parameters
    ----------
    header : sequence of str
        The column names.
    rows : sequence of sequence of str
        The cells, one sequence per row, as many as `header` has.
    right : collection of int, optional
        The indices of the columns aligned right (figures); the others are aligned left
        and their rules carry no colon, Markdown's default alignment.

    Returns
    -------
    list of str
        The header line, the rule, then one line per row.
    """
    widths = [max(len(row[column]) for row in [header, *rows]) for column in range(len(header))]

    def line(cells: Sequence[str]) -> str:
        padded = (
            cell.rjust(width) if column in right else cell.ljust(width)
            for column, (cell, width) in enumerate(zip(cells, widths, strict=True))
        )
        return "| " + " | ".join(padded) + " |"

    rules = (
        "-" * (width + 1) + ":" if column in right else "-" * (width + 2)
        for column, width in enumerate(widths)
    )
    return [line(header), "|" + "|".join(rules) + "|", *map(line, rows)]
