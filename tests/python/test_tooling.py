"""The check's own tools: tools/lowest_pins.py, which gives the oldest-dependencies leg its
constraints, tools/wheel_metadata.py, which holds the wheel's metadata to pyproject.toml,
conftest.py's VEXO_REQUIRE_DASK, which makes a skipped Dask test fail, and tools/mutate's
engine: its data file, its reading of the CPU and its verdicts."""

import dataclasses
import importlib.machinery
import importlib.util
import os
import re
import runpy
import subprocess
import sys
import tomllib
from pathlib import Path
from types import ModuleType, SimpleNamespace

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
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", *KEEP_GOING, *tests],
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


def load_tool(name: str) -> ModuleType:
    """A script of tools/ as a module, whose globals a test may patch."""
    loader = importlib.machinery.SourceFileLoader(name, str(ROOT / "tools" / name))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(name, loader))
    loader.exec_module(module)
    return module


mutate = load_tool("mutate")
GROUP = """
[suites]
sorts = "SequentialSort|Pdq"

[[file]]
path = "src/a.hpp"
ctest = "{sorts}|Kernel"
pytest = ["test_sorting.py"]
pytest_k = "pdq"
isa = ["avx2", "avx512"]
"""


def data_file(tmp_path: Path, text: str) -> Path:
    path = tmp_path / "mutants.toml"
    path.write_text(text)
    return path


def test_a_mutant_takes_its_groups_selection_field_by_field(tmp_path):
    text = (
        GROUP
        + """
[[file.mutant]]
id = "plain"
old = '''a < b'''
new = '''a <= b'''

[[file.mutant]]
id = "narrowed"
old = '''
    x;
'''
new = ''
pytest_k = "smart"
isa = "avx512"
equivalent = "why"

[[file.mutant]]
id = "own-tests"
old = '''c'''
new = '''d'''
ctest = "MergeKernel"
pytest = []
"""
    )
    plain, narrowed, own = mutate.load_mutants(data_file(tmp_path, text))
    assert plain.tests == mutate.Tests("SequentialSort|Pdq|Kernel", ("test_sorting.py",), "pdq")
    assert (plain.path, plain.old, plain.new, plain.isa) == (
        "src/a.hpp",
        "a < b",
        "a <= b",
        {"avx2", "avx512"},
    )
    assert (narrowed.old, narrowed.new, narrowed.tests.functions) == ("    x;\n", "", "smart")
    assert (narrowed.isa, narrowed.equivalent) == ({"avx512"}, "why")
    assert own.tests == mutate.Tests("MergeKernel", (), "pdq")


@pytest.mark.parametrize(
    "mutant, problem",
    [
        ("id = 'm'\nold = 'a'\nnew = 'b'\npytest_kk = 'x'", "unknown key pytest_kk"),
        ("id = 'm'\nnew = 'b'", "id, old and new must each be a string"),
        ("id = 'm'\nold = 'a'\nnew = 'b'\nctest = '{nothing}'", "no suite named 'nothing'"),
        ("id = 'm'\nold = 'a'\nnew = 'b'\nisa = 'sse2'", "isa must be one of"),
        ("id = 'm'\nold = 'a'\nnew = 'b'\nctest = ''\npytest = []", "selects no tests"),
        (
            "id = 'm'\nold = 'a'\nnew = 'b'\n[[file.mutant]]\nid = 'm'\nold = 'c'\nnew = 'd'",
            "twice: m",
        ),
        ("id = 'm'\nold = '''a'\nnew = 'b'", "mutants.toml:"),
    ],
)
def test_a_data_file_that_cannot_say_what_to_run_is_refused(tmp_path, mutant, problem):
    with pytest.raises(mutate.DataError, match=re.escape(problem)):
        mutate.load_mutants(data_file(tmp_path, f"{GROUP}\n[[file.mutant]]\n{mutant}\n"))


def test_a_mutant_whose_text_is_not_once_in_its_file_is_stale(tmp_path, monkeypatch):
    (tmp_path / "src").mkdir()
    (tmp_path / "src/a.hpp").write_text("if (a < b) return;\nif (c) return;\nif (c) return;\n")

    def mutant(old: str, path: str = "src/a.hpp") -> object:
        return mutate.Mutant("m", path, old, "x", mutate.Tests("Pdq"), frozenset({"avx512"}))

    assert mutate.stale(mutant("a < b"), tmp_path) == ""
    assert mutate.stale(mutant("a <= b"), tmp_path) == "text occurs 0 times"
    assert mutate.stale(mutant("if (c)"), tmp_path) == "text occurs 2 times"
    assert mutate.stale(mutant("a < b", "src/gone.hpp"), tmp_path) == "its file is gone"
    # A run reports it so before it builds anything, whatever the CPU.
    monkeypatch.setattr(mutate, "TREE", tmp_path)
    assert mutate.try_mutant(mutant("a <= b"), frozenset()) == ("stale", "text occurs 0 times")


SAPPHIRE_RAPIDS = "flags\t\t: fpu sse2 popcnt avx avx2 bmi2 avx512f avx512dq avx512bw avx512vl\n"


@pytest.mark.parametrize(
    "cpuinfo, without, isas",
    [
        (SAPPHIRE_RAPIDS, [], {"avx2", "avx512"}),
        (SAPPHIRE_RAPIDS, ["avx512"], {"avx2"}),
        (SAPPHIRE_RAPIDS, ["avx2"], set()),  # no AVX-512 without AVX2
        ("processor : 0\nflags : fpu sse2 popcnt avx avx2\nflags : avx512f\n", [], {"avx2"}),
        ("flags : fpu sse2 avx2 avx512f\n", [], set()),  # isa_supported wants popcnt too
        ("processor : 0\nFeatures : fp asimd\n", [], set()),  # aarch64: no flags line
        ("", ["avx512"], set()),
    ],
)
def test_the_cpus_isas_from_its_flags_less_what_it_pretends_to_lack(cpuinfo, without, isas):
    assert mutate.cpu_isas(cpuinfo, without) == isas


@pytest.mark.parametrize(
    "isa, pytest_only, cpu, planned",
    [
        (set(), False, set(), "native"),
        ({"avx512"}, False, {"avx2", "avx512"}, "native"),
        ({"avx512"}, False, {"avx2"}, "emulated"),
        ({"avx512"}, True, {"avx2"}, "none"),
        ({"avx2", "avx512"}, False, {"avx2"}, "native"),
        ({"avx2", "avx512"}, False, set(), "emulated"),
        ({"avx2"}, True, {"avx2", "avx512"}, "native"),
    ],
)
def test_code_of_an_isa_the_cpu_lacks_runs_against_the_emulated_tests(
    isa, pytest_only, cpu, planned, monkeypatch
):
    tests = mutate.Tests("" if pytest_only else "Kernel|Pdq", ("test_sorting.py",))
    mutant = mutate.Mutant("m", "src/a.hpp", "a", "b", tests, frozenset(isa))
    got, emulated = mutate.plan(mutant, frozenset(cpu))
    expected = {
        "native": (tests, False),
        "emulated": (mutate.Tests("^emulated:.*(Kernel|Pdq)"), True),
        "none": (None, True),
    }
    assert (got, emulated) == expected[planned]
    if planned == "none":
        # Never built nor run: neither killed nor survived.
        monkeypatch.setattr(mutate, "TREE", ROOT)
        real = dataclasses.replace(mutate.load_mutants()[0], isa=frozenset(isa), tests=tests)
        assert mutate.try_mutant(real, frozenset(cpu))[0] == "not applicable"


@pytest.mark.parametrize(
    "verdicts, status",
    [
        (["killed", "equivalent", "not applicable", "not applicable"], 0),
        (["not applicable"], 0),
        (["killed", "survived", "not applicable"], 1),
        (["killed", "stale"], 1),
    ],
)
def test_only_a_survivor_or_a_stale_mutant_fails_the_run(verdicts, status):
    counts, got = mutate.tally(verdicts)
    assert got == status
    assert sum(counts.values()) == len(verdicts)
    assert counts["not applicable"] == verdicts.count("not applicable")


# On a CPU with AVX-512, and pretending it lacks AVX-512, or AVX2 and AVX-512: how many
# mutants run against the emulated tests.
@pytest.mark.parametrize(
    "without, emulated",
    [
        ([], lambda m: False),
        (["--without", "avx512"], lambda m: m.isa == {"avx512"}),
        (["--without", "avx2"], lambda m: bool(m.isa)),
    ],
)
def test_the_list_ends_with_the_count_and_no_mutant_is_stale(
    capsys, monkeypatch, without, emulated
):
    monkeypatch.setattr(
        mutate, "host_isas", lambda lacked: mutate.cpu_isas(SAPPHIRE_RAPIDS, lacked)
    )
    assert mutate.main(["--list", *without]) == 0
    *lines, last = capsys.readouterr().out.splitlines()
    mutants = mutate.load_mutants()
    assert last.startswith(f"{len(mutants)} mutants (")
    assert [line.split()[0] for line in lines] == [m.id for m in mutants]
    assert not [line for line in lines if "STALE" in line]
    assert sum("emulated here" in line for line in lines) == sum(map(emulated, mutants))
