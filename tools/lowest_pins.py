"""Prints pip constraints that hold vexo's requirements to the oldest versions its pins allow.

    python tools/lowest_pins.py [EXTRA...] > oldest.txt
    pip install --constraint oldest.txt '.[EXTRA,...]'

Every requirement of ``[project].dependencies`` in pyproject.toml, and of each optional
dependency group named on the command line, with a lower bound (``>=V``) becomes
``name==V``; one without (hypothesis) stays free, so pip takes its newest release, and
says so in a comment line. What those requirements need in turn is left to pip: the
newest it finds (the lowest direct versions, as ``uv --resolution lowest-direct``).
"""

import re
import sys
import tomllib
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"

# name, optional [extras], version specifiers, optional ; environment marker (PEP 508,
# the forms pyproject.toml uses; a URL requirement is refused below).
REQUIREMENT = re.compile(r"^\s*([A-Za-z0-9][A-Za-z0-9._-]*)\s*(\[[^\]]*\])?\s*([^;]*?)\s*(;.*)?$")


def lowest_pin(requirement: str) -> str:
    """The constraint line for one requirement string.

    Parameters
    ----------
    requirement : str
        A PEP 508 requirement, e.g. ``"dask[array]>=2024.12"``.

    Returns
    -------
    str
        ``"dask==2024.12"`` for a lower bound, a comment line where there is none.

    Raises
    ------
    ValueError
        For a requirement this script cannot read, or one whose lower bound is not ``>=``.
    """
    match = REQUIREMENT.match(requirement)
    if match is None or "@" in requirement:
        raise ValueError(f"cannot read the requirement {requirement!r}")
    name, _, specifiers, marker = match.groups()
    bounds = [s.strip() for s in specifiers.split(",") if s.strip()]
    lower = [b[2:].strip() for b in bounds if b.startswith(">=")]
    if not lower:
        if any(b.startswith(("==", "~=", ">", "===")) for b in bounds):
            raise ValueError(f"{requirement!r}: only a >= lower bound can be pinned here")
        return f"# {name}: no lower bound, the newest release"
    return f"{name}=={lower[0]}{' ' + marker if marker else ''}"


def requirements(project: dict, extras: list[str]) -> list[str]:
    """The dependencies of `project` (pyproject's ``[project]`` table) and of `extras`."""
    groups = project.get("optional-dependencies", {})
    unknown = [extra for extra in extras if extra not in groups]
    if unknown:
        raise ValueError(f"pyproject.toml has no optional dependencies {unknown}")
    return [*project.get("dependencies", []), *(r for extra in extras for r in groups[extra])]


def main(argv: list[str]) -> int:
    """Prints the constraint lines for the extras in `argv`; returns the exit status."""
    project = tomllib.loads(PYPROJECT.read_text())["project"]
    try:
        lines = [lowest_pin(r) for r in requirements(project, argv)]
    except ValueError as error:
        print(f"lowest_pins: {error}", file=sys.stderr)
        return 2
    print("\n".join(dict.fromkeys(lines)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
