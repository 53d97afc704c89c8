"""Shared fixtures and helpers of the pytest suite (run against the installed module)."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

from vexo import _vexo

# Hypothesis profiles: "ci" keeps the suite fast; VEXO_HYPOTHESIS_PROFILE=long digs deeper.
settings.register_profile(
    "ci", max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "long", max_examples=2000, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("VEXO_HYPOTHESIS_PROFILE", "ci"))

# The thirteen functions in table order, written out rather than read from the module, so a
# function missing from the module's table fails every test that names it.
FUNCTION_NAMES = [
    *"bubble insertion merge quick heap intro tim pdq radix smart".split(),
    *"par_sort par_sort_unstable par_merge".split(),
]

# Quadratic on every input; tests give them small arrays.
QUADRATIC = {"bubble", "insertion"}


def max_size(name: str) -> int:
    """The largest array a generic test hands to `name` and still finishes quickly."""
    return 300 if name in QUADRATIC else 3000


@pytest.fixture(params=FUNCTION_NAMES)
def sort_name(request) -> str:
    return request.param


@pytest.fixture
def sort_function(sort_name):
    return getattr(_vexo, sort_name)


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    """Runs the test in a frame named after its id (parameters included): the stack dump of
    a hang (faulthandler_timeout, pyproject.toml) then says which test hung."""
    test = pyfuncitem.obj

    def run(*args, **kwargs):
        return test(*args, **kwargs)

    named = pyfuncitem.nodeid
    run.__code__ = run.__code__.replace(co_name=named, co_qualname=named)
    pyfuncitem.obj = run
    try:
        return (yield)
    finally:
        pyfuncitem.obj = test


# tools/dependency-leg installs Dask and sets VEXO_REQUIRE_DASK: there a Dask test that
# skips (Dask or one of the modules vexo.dask imports missing, or a skip added later) fails,
# so a broken install can never pass as a suite with its Dask half skipped.
REQUIRE_DASK = bool(os.environ.get("VEXO_REQUIRE_DASK"))
DASK_MODULES = ("dask", "distributed")


def skip_reason(report: pytest.CollectReport | pytest.TestReport) -> str:
    """Why `report` was skipped (its longrepr is (path, line, reason) for a skip)."""
    longrepr = report.longrepr
    return str(longrepr[-1] if isinstance(longrepr, tuple) else longrepr)


def fail_dask_skip(path: str, report: pytest.CollectReport | pytest.TestReport) -> None:
    """Turns `report`, of a test or a collected file at `path`, into a failure where it is
    a skip of Dask's tests (anything skipped in test_dask.py, or for want of Dask elsewhere)
    and VEXO_REQUIRE_DASK forbids it."""
    if not (REQUIRE_DASK and report.skipped):
        return
    reason = skip_reason(report)
    lacking = any(f"could not import '{name}" in reason for name in DASK_MODULES)
    if path.endswith("test_dask.py") or lacking:
        report.outcome = "failed"
        report.longrepr = f"VEXO_REQUIRE_DASK is set, and this Dask test was skipped: {reason}"


@pytest.hookimpl(wrapper=True)
def pytest_make_collect_report(collector):
    report = yield
    fail_dask_skip(str(collector.path), report)
    return report


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    report = yield
    fail_dask_skip(str(item.path), report)
    return report


def run_python(
    code: str, *, env: dict | None = None, timeout: float = 120, cwd: Path | None = None
) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (same venv), capturing stdout and stderr, in `cwd`
    (by default ours). Variables set to None in `env` are removed."""
    full_env = {k: v for k, v in {**os.environ, **(env or {})}.items() if v is not None}
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
        cwd=cwd,
    )
