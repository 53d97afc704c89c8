"""Failure paths end cleanly, calls hold the interpreter lock, and nothing leaks."""

import itertools
import os
import re
import signal
import sys
import threading
import time

import numpy as np
import pytest
from conftest import FUNCTION_NAMES, run_python

from vexo import _vexo

SANITIZED = bool(os.environ.get("VEXO_SANITIZED"))

# Functions that take scratch memory proportional to n, and how many bytes their first
# buffer takes when that is fixed by the algorithm (merge: one n-element array up front).
ALLOCATING = {"merge": lambda n: 8 * n, **dict.fromkeys(["tim", "radix", "par_sort", "par_merge"])}


@pytest.mark.skipif(
    SANITIZED, reason="address-space limits and the sanitizer's shadow memory do not mix"
)
@pytest.mark.parametrize("name", ALLOCATING)
def test_allocation_failure_aborts_with_the_byte_count(name):
    n = 1 << 24  # 128 MiB of elements
    result = run_python(
        f"""
        import resource, numpy as np
        import vexo._vexo as m
        m.{name}(np.arange(200_000)[::-1].copy())   # the pool (if any) and NumPy are up
        a = np.random.default_rng(1).integers(-2**63, 2**63 - 1, size={n}, dtype=np.int64)
        a[::2] = np.arange(a.size // 2)             # runs and a wide range: no shortcut path
        def vm_size():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        room = {n} * 8 // 2                          # less than one n-element buffer
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + room, resource.RLIM_INFINITY))
        m.{name}(a)
        print("survived")
    """,
        timeout=300,
    )
    assert result.returncode == -signal.SIGABRT, (result.returncode, result.stderr[-2000:])
    assert "survived" not in result.stdout and "Traceback" not in result.stderr
    found = re.findall(r"^memory allocation of (\d+) bytes failed$", result.stderr, re.MULTILINE)
    assert len(found) == 1, result.stderr[-2000:]
    requested = int(found[0])
    expected = ALLOCATING[name]
    if expected is not None:
        assert requested == expected(n)
    else:
        assert 0 < requested <= 16 * n and requested % 8 == 0


def test_calls_are_serialised_by_the_interpreter_lock():
    # A counter thread stamps the time as fast as it can. The sort keeps the interpreter
    # lock for its whole call, so the stamps leave one gap over most of the call; a sort
    # that let go of the lock would see stamps all through it. (Most, not all: the caller
    # may hand the lock to the counter once more before the call starts.) The array is
    # long enough for a bubble sort to take well over 0.04 s on a fast idle core.
    stamps = []
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    a = np.arange(40000, dtype=np.int64)[::-1].copy()
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    t = threading.Thread(target=counter)
    t.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        _vexo.bubble(a)
        end = time.perf_counter()
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(old_interval)
    assert end - start > 0.04, "the sort was too fast to tell"
    edges = [start, *sorted(s for s in stamps if start < s < end), end]
    assert max(later - earlier for earlier, later in itertools.pairwise(edges)) > (end - start) / 2
    assert np.array_equal(a, np.arange(40000))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine grows RSS by design")
def test_no_memory_growth_over_many_mixed_calls():
    small = np.array([5, 3, 9, 1], dtype=np.int64)
    bad = [small.astype(np.int32), [1, 2], small[::2], None]

    def burst(count):
        for i in range(count):
            function = getattr(_vexo, FUNCTION_NAMES[i % len(FUNCTION_NAMES)])
            function(small)
            try:
                function(bad[i % len(bad)])
            except BaseException:  # noqa: B036 - faults included
                pass

    import contextlib
    import io

    with contextlib.redirect_stderr(io.StringIO()):
        burst(2_000)
        counts = sys.getrefcount(small), sys.getrefcount(bad[0])
        baseline = rss_bytes()
        burst(100_000)
    assert (sys.getrefcount(small), sys.getrefcount(bad[0])) == counts
    assert rss_bytes() - baseline < 8 << 20


# Peak scratch of each function, in elements per element of input (random full-range data
# above the parallel threshold), with the allowance glibc's per-thread arenas add to
# buffers that are freed but kept resident. VEXO_PEAK_N sets the length (the closing
# figures were taken at 10^7).
PEAK_SCRATCH = {
    **dict.fromkeys(["quick", "heap", "intro", "pdq", "smart", "par_sort_unstable"], (0, 0.01)),
    **dict.fromkeys(["merge", "par_sort"], (0.9, 1.1)),
    **{"par_merge": (0.9, 1.6), "tim": (1.9, 2.1), "radix": (1.0, 2.1)},
}


def peak_scratch_ratio(name: str, n: int) -> float:
    result = run_python(
        f"""
        import numpy as np
        import vexo._vexo as m
        def high_water_mark():
            for line in open("/proc/self/status"):
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
        # Pool and NumPy up before the baseline (ordered input could finish without the pool).
        m.{name}(np.random.default_rng(1).integers(-2**62, 2**62, 300_000))
        a = np.random.default_rng(3).integers(-2**63, 2**63 - 1, size={n}, dtype=np.int64)
        base = high_water_mark()
        m.{name}(a)
        peak = high_water_mark()
        assert np.all(a[:-1] <= a[1:])
        print((peak - base) / ({n} * 8))
    """,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    return float(result.stdout)


@pytest.mark.skipif(
    SANITIZED, reason="the sanitizer's shadow memory and quarantine dwarf the scratch"
)
@pytest.mark.parametrize("name", PEAK_SCRATCH)
def test_peak_scratch_matches_the_algorithm(name):
    low, high = PEAK_SCRATCH[name]
    ratio = peak_scratch_ratio(name, int(os.environ.get("VEXO_PEAK_N", 1_000_000)))
    assert low <= ratio <= high, ratio
