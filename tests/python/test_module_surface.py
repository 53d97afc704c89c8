"""The module object: its functions, __all__, signatures, initialisation guards, exports."""

import ast
import contextlib
import ctypes
import importlib
import inspect
import io
import json
import shutil
import subprocess
import sys
import textwrap
import tomllib
from pathlib import Path

import numpy as np
import pytest
from conftest import FUNCTION_NAMES, run_python

import vexo
from vexo import _vexo

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "vexo" / "_vexo.pyi"
# Where `import vexo` found the package: its __init__.py, the compiled module, the
# package's search path, and every directory an installed package may lie in (the site
# directories, and PYTHONPATH's, through which tools/check and tools/mutate install theirs).
WHERE = """
    import json, os, site
    import vexo, vexo._vexo
    places = [*site.getsitepackages(), site.getusersitepackages()]
    places += filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))
    found = [vexo.__file__, vexo._vexo.__file__, *vexo.__path__]
    print(json.dumps({"found": found, "places": places}, default=str))
"""


def test_all_in_table_order_empty_doc_version_and_nothing_else_added():
    assert _vexo.__all__ == FUNCTION_NAMES
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert vexo.__version__ == project["version"]
    assert vexo.__all__ == _vexo.__all__
    assert _vexo.__doc__ == ""
    public = {name for name in vars(_vexo) if not name.startswith("__")}
    assert public == set(_vexo.__all__)


def where_vexo_is(at_the_root: bool) -> dict[str, list[str]]:
    """WHERE's answer in this interpreter, or in a fresh one started at the root."""
    if at_the_root:
        done = run_python(WHERE, cwd=ROOT)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)
    with contextlib.redirect_stdout(io.StringIO()) as out:
        exec(textwrap.dedent(WHERE), {})
    return json.loads(out.getvalue())


# `python -m pytest` and `python -c` put the directory they start in first on sys.path:
# at the repository's root that must not find the package's sources (python/vexo), nor
# make them part of the package, but the installed package, its compiled modules inside.
@pytest.mark.parametrize("at_the_root", [False, True], ids=["this-run", "python-c-at-the-root"])
def test_vexo_is_the_installed_package_never_the_sources(at_the_root):
    where = where_vexo_is(at_the_root)
    init, module, *search_path = [Path(name).resolve() for name in where["found"]]
    package = init.parent
    assert module.parent == package and search_path == [package], where
    assert package.parent in {Path(place).resolve() for place in where["places"]}, where
    assert package.parent not in (ROOT, ROOT / "python"), where


def test_stub_declares_exactly_the_module_functions():
    stub = ast.parse(STUB.read_text())
    declared = [node.name for node in stub.body if isinstance(node, ast.FunctionDef)]
    listed = next(
        ast.literal_eval(node.value)
        for node in stub.body
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
    )
    assert declared == listed == FUNCTION_NAMES


def test_function_object(sort_name, sort_function):
    assert type(sort_function).__name__ == "builtin_function_or_method"
    assert sort_function.__name__ == sort_name
    assert sort_function.__self__ is _vexo
    assert sort_function.__module__ == "vexo._vexo"
    assert sort_function.__doc__ is None
    assert str(inspect.signature(sort_function)) == "(arr)"
    assert getattr(vexo, sort_name) is sort_function
    a = np.array([5, -1, 3], dtype=np.int64)
    assert sort_function(arr=a) is None  # the keyword form binds like the positional one
    assert a.tolist() == [-1, 3, 5]


def test_reimport_yields_the_same_module_with_user_attributes():
    _vexo.user_attribute = "kept"
    try:
        del sys.modules["vexo._vexo"]
        again = importlib.import_module("vexo._vexo")
        assert again is _vexo
        assert again.user_attribute == "kept"
        # Calling the initialisation function itself, as a second import would, must not
        # run the function table again.
        init = ctypes.PyDLL(_vexo.__file__).PyInit__vexo
        init.restype = ctypes.py_object
        assert init() is _vexo
        assert _vexo.__all__.count("heap") == 1
    finally:
        sys.modules["vexo._vexo"] = _vexo
        del _vexo.user_attribute


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_only_the_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _vexo.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit__vexo"]


def test_import_does_not_import_numpy_and_other_interpreters_are_refused():
    # A legacy-configured interpreter lets CPython load single-phase modules, so it reaches
    # vexo's own owner-interpreter check; an isolated one (the default of
    # concurrent.interpreters) is refused by CPython before PyInit__vexo runs.
    result = run_python("""
        import sys
        import vexo, vexo._vexo as m
        print("numpy" in sys.modules)
        import numpy as np, _interpreters
        from concurrent import interpreters
        legacy = _interpreters.create("legacy")
        failure = _interpreters.run_string(legacy, "import vexo._vexo")
        print(failure.type.__name__, "|", failure.msg)
        _interpreters.destroy(legacy)
        isolated = interpreters.create()
        try:
            isolated.exec("import vexo._vexo")
        except interpreters.ExecutionFailed as failure:
            print(failure.excinfo.type.__name__)
        isolated.close()
        a = np.array([3, 1, 2]); m.heap(a); print(a.tolist())
    """)
    assert result.returncode == 0, result.stderr
    no_numpy, legacy, isolated, still_works = result.stdout.splitlines()
    assert no_numpy == "False" and isolated == "ImportError" and still_works == "[1, 2, 3]"
    kind, message = legacy.split(" | ")
    assert kind == "ImportError" and "does not yet support sub-interpreters" in message
