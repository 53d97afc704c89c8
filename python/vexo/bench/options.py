"""Command-line values both benches take: sizes, names out of a list, bounded numbers.

Each parser is an argparse type: it returns the value or raises ArgumentTypeError, which
argparse turns into a usage error naming the option.
"""

import argparse
from collections.abc import Callable, Sequence


def parse_size(text: str) -> int:
    """A number of elements written as 1000, 1_000, 1e3 or 10^3.

    Parameters
    ----------
    text : str
        The size as given; surrounding white space is ignored.

    Returns
    -------
    int
        The size, at least 1.

    Raises
    ------
    argparse.ArgumentTypeError
        When `text` is not a whole number, or is below 1.
    """
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
    """Comma-separated sizes (see `parse_size`).

    Parameters
    ----------
    text : str
        The sizes as given, e.g. ``"1e3,10^4,250000"``.

    Returns
    -------
    list of int
        The distinct sizes, ascending.

    Raises
    ------
    argparse.ArgumentTypeError
        When a size is malformed, or none is given.
    """
    sizes = sorted({parse_size(part) for part in text.split(",") if part.strip()})
    if not sizes:
        raise argparse.ArgumentTypeError("no sizes given")
    return sizes


def name_list(known: Sequence[str], what: str) -> Callable[[str], list[str]]:
    """An argparse type for comma-separated names out of `known`.

    Parameters
    ----------
    known : sequence of str
        The names on offer, in the order the result keeps.
    what : str
        What a name stands for, for the error message ("function", "pattern").

    Returns
    -------
    callable
        The type: the names given, in `known`'s order; ArgumentTypeError for an unknown
        name or none at all.
    """

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


def checked_number[T](
    convert: Callable[[str], T], what: str, accept: Callable[[T], bool], requirement: str
) -> Callable[[str], T]:
    """An argparse type: `convert(text)`, refused unless `accept` holds for the value.

    Parameters
    ----------
    convert : callable
        Turns the text into a number; ValueError when it cannot.
    what : str
        What the text must be, for the message when `convert` fails ("a number").
    accept : callable
        Whether a converted value is allowed.
    requirement : str
        What an allowed value is, for the message when `accept` fails ("at least 1").

    Returns
    -------
    callable
        The type.
    """

    def parse(text: str) -> T:
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
