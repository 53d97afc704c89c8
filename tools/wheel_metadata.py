"""Checks a built wheel's METADATA against pyproject.toml's [project] table.

    python tools/wheel_metadata.py WHEEL_DIR/NAME.dist-info/METADATA

The wheel must carry the distribution's name, every project URL and every classifier that
pyproject.toml declares, and pyproject.toml must declare URLs and an operating-system
classifier at all: an index shows a user those, and they are lost without a word when a
build backend drops a table it does not know. Prints what is missing and exits 1, or
exits 0.
"""

import sys
import tomllib
from email.parser import Parser
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


def problems(metadata_text: str, project: dict) -> list[str]:
    """What the wheel's metadata lacks of what the project declares.

    Parameters
    ----------
    metadata_text : str
        The wheel's METADATA file (core metadata, an email-style header block).
    project : dict
        pyproject.toml's ``[project]`` table.

    Returns
    -------
    list of str
        One sentence per problem; empty when the metadata is complete.
    """
    found = Parser().parsestr(metadata_text, headersonly=True)
    found_urls = dict(
        (part.strip() for part in entry.split(",", 1))
        for entry in found.get_all("Project-URL", [])
        if "," in entry
    )
    found_classifiers = set(found.get_all("Classifier", []))
    declared_urls = project.get("urls", {})
    declared_classifiers = project.get("classifiers", [])
    out = []
    if found.get("Name") != project["name"]:
        out.append(f"its Name is {found.get('Name')!r}, not {project['name']!r}")
    if not declared_urls:
        out.append("pyproject.toml declares no [project.urls]")
    if not any(c.startswith("Operating System :: ") for c in declared_classifiers):
        out.append("pyproject.toml declares no 'Operating System :: ' classifier")
    out += [
        f"it lacks the Project-URL {label}, {url}"
        for label, url in declared_urls.items()
        if found_urls.get(label) != url
    ]
    out += [
        f"it lacks the classifier {c!r}" for c in declared_classifiers if c not in found_classifiers
    ]
    return out


def main(argv: list[str]) -> int:
    """Check the METADATA file named by ``argv[0]``; print each problem to stderr.

    Parameters
    ----------
    argv : list of str
        The command line after the script's name: one path.

    Returns
    -------
    int
        0 when the metadata is complete, 1 when something is missing, 2 on a usage error.
    """
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    project = tomllib.loads(PYPROJECT.read_text())["project"]
    found = problems(Path(argv[0]).read_text(), project)
    for problem in found:
        print(f"wheel metadata: {problem}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
