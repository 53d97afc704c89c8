"""The words both benches report a measurement's outcome in.

A status stands in a table cell wherever a figure would (so it is written for a reader),
and decides the exit code: a run whose sort went wrong or raised fails, a skipped one
does not.
"""

OK = "ok"
WRONG = "wrong result"
ERROR = "error"
SKIPPED_QUADRATIC = "skipped (quadratic)"  # one call would take more than about a second
SKIPPED_TOO_LARGE = "skipped: does not fit"  # the whole array would not fit in one process
NEEDS_PANDAS = "unavailable: needs pandas"


def error(kind: str) -> str:
    """The status of a run that raised, naming what it raised.

    Parameters
    ----------
    kind : str
        The exception's type name, which says enough in a table cell.

    Returns
    -------
    str
        ``"error: KIND"``, a failure by `failed`.
    """
    return f"{ERROR}: {kind}"


def failed(status: str) -> bool:
    """Whether `status` is that of a sort that gave a wrong result or raised.

    Parameters
    ----------
    status : str
        A status of this vocabulary.

    Returns
    -------
    bool
        True for a wrong result and for an error, with or without what was raised.
    """
    return status in (WRONG, ERROR) or status.startswith(error(""))
