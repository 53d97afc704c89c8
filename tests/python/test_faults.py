"""Internal faults as Python sees them: PanicException, the stderr report naming the unit
and its one-time note, and a module that keeps working afterwards."""

import re

import numpy as np
from conftest import run_python

from vexo import _vexo

NOT_CONTIGUOUS = "called `Option::unwrap()` on a `None` value"


def provoke(function=_vexo.heap):
    try:
        function(np.arange(4, dtype=np.int64)[::2])
    except BaseException as exc:  # noqa: B036
        return exc
    raise AssertionError("no fault")


def test_panic_exception_type():
    exc = provoke()
    kind = type(exc)
    assert kind.__name__ == "PanicException"
    assert kind.__module__ == "pyo3_runtime"
    assert kind.__qualname__ == "PanicException"
    assert kind.__bases__ == (BaseException,)
    assert exc.args == (NOT_CONTIGUOUS,)
    assert str(exc) == NOT_CONTIGUOUS
    doc = kind.__doc__
    assert len(doc) == 235 and doc.startswith("\n") and doc.endswith("\n")
    assert "BaseException" in doc and "SystemExit" in doc
    assert type(provoke(_vexo.bubble)) is kind  # made once per process
    assert not hasattr(_vexo, "PanicException")


def test_fault_names_the_algorithms_unit_and_the_module_keeps_working(
    sort_name, sort_function, capfd
):
    assert type(provoke(sort_function)).__name__ == "PanicException"
    unit = "par_merge" if sort_name.startswith("par_") else sort_name  # the three share one unit
    report = capfd.readouterr().err
    assert re.search(
        rf"panicked at src/[a-z]+/{unit}\.cpp:\d+:\d+:\n{re.escape(NOT_CONTIGUOUS)}\n", report
    ), report
    a = np.array([3, -1, 2], dtype=np.int64)
    assert sort_function(a) is None
    assert a.tolist() == [-1, 2, 3]


REPORT = re.compile(
    r"\nthread '<unnamed>' \((\d+)\) panicked at (src/[a-z_/]+\.cpp):(\d+):(\d+):\n(.*)\n"
)
NOTE = "note: run with `VEXO_BACKTRACE=1` environment variable to display a backtrace\n"


FAULTS = """
    import numpy as np, threading
    import vexo._vexo as m
    a = np.arange(8)
    for f in (m.heap, m.bubble):
        try:
            f(a[::2])
        except BaseException as exc:
            print(type(exc).__name__)
    print(threading.get_native_id())
"""


def test_fault_report_on_stderr_with_a_one_time_note():
    result = run_python(FAULTS)
    assert result.returncode == 0, result.stderr
    *kinds, tid = result.stdout.split()
    assert kinds == ["PanicException", "PanicException"]
    first = REPORT.match(result.stderr)
    assert first, result.stderr
    assert first.group(1) == tid
    assert first.group(2) == "src/algorithms/heap.cpp"
    assert first.group(5) == NOT_CONTIGUOUS
    rest = result.stderr[first.end() :]
    assert rest.startswith(NOTE)
    second = REPORT.fullmatch(rest[len(NOTE) :])
    assert second and second.group(2) == "src/algorithms/bubble.cpp"
    # On request, a backtrace in place of the note.
    traced = run_python(FAULTS, env={"VEXO_BACKTRACE": "1"})
    assert REPORT.match(traced.stderr) and NOTE not in traced.stderr
    assert "stack backtrace:" in traced.stderr
