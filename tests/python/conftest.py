"""Shared fixtures and helpers of the pytest suite (run against the installed module)."""

import os
import subprocess
import sys
import textwrap
import threading

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


@pytest.hookimpl(tryfirst=True)
def pytest_timeout_set_timer(item, settings):
    """pytest-timeout's thread method, with the hung test's id said first: the stacks it
    dumps show a test function's frames but not which of its parameters hung."""
    if settings.method != "thread" or not settings.timeout:
        return None
    from pytest_timeout import timeout_timer

    def expire():
        sys.stderr.write(f"\n{item.nodeid} hung: still running after {settings.timeout:g} s\n")
        timeout_timer(item, settings)  # dumps every thread's stack and ends the process

    timer = threading.Timer(settings.timeout, expire)
    item.cancel_timeout = timer.cancel
    timer.start()
    return True


def run_python(
    code: str, *, env: dict | None = None, timeout: float = 120
) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (same venv), capturing stdout and stderr. Variables
    set to None in `env` are removed."""
    full_env = {k: v for k, v in {**os.environ, **(env or {})}.items() if v is not None}
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )
