"""The check's own tools: tools/lowest_pins.py, which gives the oldest-dependencies leg its
constraints, tools/wheel_metadata.py, which holds the wheel's metadata to pyproject.toml,
and conftest.py's VEXO_REQUIRE_DASK, which makes a skipped Dask test fail."""

import os
import runpy
import subprocess
import sys
import tomllib
from pathlib import Path
from types import SimpleNamespace

import pytest

ROOT = Path(__file__).resolve().parents[2]


# The tool is a script, not a module of the package: its functions, run from its path.
lowest_pins = SimpleNamespace(**runpy.run_path(str(ROOT / "tools/lowest_pins.py")))
wheel_metadata = SimpleNamespace(**runpy.run_path(str(ROOT / "tools/wheel_metadata.py")))
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def core_metadata(name: str, urls: dict[str, str], classifiers: list[str]) -> str:
    """A wheel's METADATA header block, as a build backend writes it."""
    lines = ["Metadata-Version: 2.4", f"Name: {name}", "Version: 0.1.0"]
    lines += [f"Classifier: {c}" for c in classifiers]
    lines += [f"Project-URL: {label}, {url}" for label, url in urls.items()]
    return "\n".join(lines) + "\n\nThe description.\n"


def test_the_wheel_metadata_check_passes_what_pyproject_declares():
    whole = core_metadata(PROJECT["name"], PROJECT["urls"], PROJECT["classifiers"])
    assert wheel_metadata.problems(whole, PROJECT) == []
    assert any(c.startswith("Operating System :: ") for c in PROJECT["classifiers"])


@pytest.mark.parametrize(
    "name, urls, classifiers, missing",
    [
        ("vexo", PROJECT["urls"], PROJECT["classifiers"], "its Name is 'vexo'"),
        (PROJECT["name"], {}, PROJECT["classifiers"], "lacks the Project-URL Source"),
        (PROJECT["name"], PROJECT["urls"], [], "lacks the classifier 'Operating System"),
        (
            PROJECT["name"],
            {**PROJECT["urls"], "Issues": "https://example.org/elsewhere"},
            PROJECT["classifiers"],
            "lacks the Project-URL Issues",
        ),
    ],
)
def test_the_wheel_metadata_check_names_what_the_wheel_lacks(name, urls, classifiers, missing):
    found = wheel_metadata.problems(core_metadata(name, urls, classifiers), PROJECT)
    assert any(missing in problem for problem in found), found


def test_the_wheel_metadata_check_wants_urls_and_an_os_in_pyproject():
    bare = {**PROJECT, "urls": {}, "classifiers": ["Typing :: Typed"]}
    found = wheel_metadata.problems(core_metadata(bare["name"], {}, ["Typing :: Typed"]), bare)
    assert found == [
        "pyproject.toml declares no [project.urls]",
        "pyproject.toml declares no 'Operating System :: ' classifier",
    ]


@pytest.mark.parametrize(
    "requirement, pin",
    [
        ("numpy>=2.3.2", "numpy==2.3.2"),
        ("dask[array]>=2024.11.1", "dask==2024.11.1"),
        ("distributed >= 2024.11.1, <2030", "distributed==2024.11.1"),
        ("pandas<3,>=2.2", "pandas==2.2"),
        ('tomli>=2; python_version < "3.11"', 'tomli==2 ; python_version < "3.11"'),
        ("hypothesis", "# hypothesis: no lower bound, the newest release"),
        ("rich<15", "# rich: no lower bound, the newest release"),
    ],
)
def test_a_lower_bound_becomes_an_exact_pin(requirement, pin):
    assert lowest_pins.lowest_pin(requirement) == pin


@pytest.mark.parametrize(
    "requirement", ["numpy==2.3.2", "numpy~=2.3", "numpy>2", "vexo @ file:///tmp/v.whl", "[x]"]
)
def test_a_bound_it_cannot_pin_is_refused(requirement):
    with pytest.raises(ValueError):
        lowest_pins.lowest_pin(requirement)


def test_the_pins_of_pyproject_and_its_extras(capsys):
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert lowest_pins.main(["test", "dask"]) == 0
    lines = capsys.readouterr().out.splitlines()
    pinned = [*project["dependencies"], *project["optional-dependencies"]["dask"]]
    assert [line.split("==")[0] for line in lines if "==" in line] == [
        "numpy",
        "pytest",
        "dask",
        "distributed",
    ]
    assert len(lines) == len(pinned) + len(project["optional-dependencies"]["test"])
    assert lowest_pins.main(["no-such-extra"]) == 2


# Past test_dask.py's collection error, so that the bench's Dask test runs too.
KEEP_GOING = ["--continue-on-collection-errors"]


@pytest.mark.parametrize("required", [True, False])
def test_a_skipped_dask_test_fails_where_dask_is_required(tmp_path, required):
    # A stand-in dask that is missing: pytest.importorskip then skips test_dask.py whole,
    # and the bench's Dask tests one by one.
    (tmp_path / "dask").mkdir()
    (tmp_path / "dask/__init__.py").write_text(
        'raise ModuleNotFoundError("hidden by the test", name="dask")\n'
    )
    path = [str(tmp_path), *filter(None, [os.environ.get("PYTHONPATH")])]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path)}
    env.pop("VEXO_REQUIRE_DASK", None)
    if required:
        env["VEXO_REQUIRE_DASK"] = "1"
    tests = ["tests/python/test_dask.py", "tests/python/test_bench.py", "-k", "dask_step"]
    done = subprocess.run(
        [sys.executable, "-P", "-m", "pytest", "-p", "no:cacheprovider", "-q", *KEEP_GOING, *tests],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    if required:
        assert done.returncode != 0, done.stdout
        assert "ERROR tests/python/test_dask.py - VEXO_REQUIRE_DASK" in done.stdout, done.stdout
        assert "FAILED tests/python/test_bench.py::test_dask_step" in done.stdout, done.stdout
    else:
        assert done.returncode == 0, done.stdout + done.stderr
        assert "2 skipped" in done.stdout, done.stdout
