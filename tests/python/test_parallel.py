"""The parallel sorts and the worker pool, seen from Python: results, pool sizes from the
environment, lazy creation, creation failure, idle workers and concurrent callers."""

import os
import subprocess
import textwrap

import pytest
from conftest import run_python

ONLINE = os.sysconf("SC_NPROCESSORS_ONLN")
SENTENCE = "The global thread pool has not been initialized."

# Shared head of the subprocess scripts: thread counting and a checked sort.
PRELUDE = """
import os, sys
import numpy as np
from vexo import _vexo
from vexo.patterns import make

def threads():
    return len(os.listdir("/proc/self/task"))

def check(name, kind, n):
    a = make(kind, n)
    expected = np.sort(a)
    getattr(_vexo, name)(a)
    assert np.array_equal(a, expected), (name, kind, n)
"""


def run_script(body: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    """Runs PRELUDE + body in a fresh interpreter whose pool variables are exactly `env`;
    NumPy's BLAS must not start threads of its own between our counts."""
    blas = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
    return run_python(
        PRELUDE + textwrap.dedent(body),
        env={"RAYON_NUM_THREADS": None, "RAYON_RS_NUM_CPUS": None, **blas, **(env or {})},
    )


def last_line(result: subprocess.CompletedProcess) -> str:
    assert result.returncode == 0, result.stderr
    return result.stdout.strip().splitlines()[-1]


PAR_SORT = ("par_sort", "random", 2001)
POOL_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


# The pool's size comes from the environment (the parser's every rule is pinned by the C++
# tests; these rows check the wiring, and the edge cases against the bench's own reading
# of the variables, since the module exposes no pool size), and each row pins one sort's
# first input past its threshold, which is what starts the pool.
@pytest.mark.parametrize(
    "variables, workers, first",
    [
        (("1", None), 1, PAR_SORT),
        (("+2", None), 2, ("par_merge", "random", 8192)),
        ((" 3", "3"), 3, ("par_sort_unstable", "all_equal", 2002)),
        (("0", "3"), ONLINE, PAR_SORT),
        ((None, None), ONLINE, ("par_merge", "random", 8192)),
        ((str(1 << 64), "3"), 3, PAR_SORT),  # past 64 bits: no number at all
        ((str((1 << 64) + 2), None), ONLINE, PAR_SORT),
        (("\u0663", "+2"), 2, PAR_SORT),  # a digit, but not an ASCII one
        (("++2", "3 "), ONLINE, PAR_SORT),
        (("+", "0"), ONLINE, PAR_SORT),
        (("", "007"), 7, PAR_SORT),
    ],
    ids=repr,
)
def test_results_equal_numpy_and_pool_is_created_lazily(variables, workers, first):
    result = run_script(
        f"""
        from vexo.bench import machine
        print(machine.pool_threads() or machine.default_pool_threads())
        before = threads()
        # Below every threshold: sorted on the calling thread, no pool.
        for name, n in [("par_sort", 0), ("par_sort", 1), ("par_sort", 20), ("par_sort", 2000),
                        ("par_sort_unstable", 2000), ("par_sort_unstable", 2001),
                        ("par_merge", 8191)]:
            for kind in ("random", "ascending", "descending", "few_distinct"):
                check(name, kind, n)
        assert threads() == before, "a small input created the pool"
        check(*{first!r})
        print(threads() - before)
        os.environ["RAYON_NUM_THREADS"] = "7"   # read once, at creation: too late now
        for name in ("par_sort", "par_sort_unstable", "par_merge"):
            for n in (2001, 5000, 8192, 16383, 120_000):
                for kind in ("random", "ascending", "descending", "few_distinct", "all_equal"):
                    check(name, kind, n)
        print(threads() - before)
        """,
        dict(zip(POOL_VARIABLES, variables, strict=True)),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(workers)] * 3
    assert result.stderr == ""


def test_pool_creation_failure_is_a_panic_every_time():
    # Address space for the interpreter as it is plus 1.5 MiB: a worker's 2 MiB stack
    # cannot be mapped, but the fault and the exception still can.
    result = run_script(
        """
        import resource
        a = make("descending", 20_000)
        b = a.copy()
        c = make("random", 20_000)  # ordered input would finish before the first task pair
        original = a.copy()
        original_c = c.copy()
        _vexo.par_sort(np.arange(3, dtype=np.int64))   # NumPy's table is loaded before the limit
        with open("/proc/self/status") as status:
            vm_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (vm_kib * 1024 + (3 << 19), resource.RLIM_INFINITY))
        for name, arr in (("par_sort", a), ("par_merge", b), ("par_sort_unstable", c)):
            try:
                getattr(_vexo, name)(arr)
                print("no fault", name)
            except Exception as error:
                print("caught as Exception", name, error)
            except BaseException as error:
                first_line = str(error).splitlines()[0]
                print(type(error).__module__, type(error).__name__, name, first_line)
        print("untouched", np.array_equal(a, original), np.array_equal(b, original))
        print("permutation", np.array_equal(np.sort(c), np.sort(original_c)))
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    for line, name in zip(lines[:3], ("par_sort", "par_merge", "par_sort_unstable"), strict=True):
        assert line.startswith(f"pyo3_runtime PanicException {name} {SENTENCE}: "), line
        assert "could not be started" in line
    # Created once: every call reports the cause of that one attempt.
    assert len({line.split(" ", 3)[3] for line in lines[:3]}) == 1
    assert lines[3:] == ["untouched True True", "permutation True"]
    assert result.stderr.count("panicked at src/parallel/pool.cpp:") == 3
    assert result.stderr.startswith("\nthread '<unnamed>' (")


def test_idle_workers_use_no_cpu_after_a_sort():
    result = run_script(
        """
        import time
        ticks = os.sysconf("SC_CLK_TCK")
        main = str(os.getpid())
        def worker_cpu():
            total = 0
            for tid in os.listdir("/proc/self/task"):
                if tid == main:
                    continue
                with open(f"/proc/self/task/{tid}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])
            return total
        check("par_sort_unstable", "random", 2_000_000)
        check("par_sort", "random", 1_000_000)
        time.sleep(0.001)
        start = worker_cpu()
        time.sleep(0.5)
        print(worker_cpu() - start, ticks)
        """,
        {"RAYON_NUM_THREADS": "3"},
    )
    used, ticks = map(int, last_line(result).split())
    assert used <= ticks // 50, f"idle workers used {used} ticks in half a second"


def test_a_forked_child_gets_a_pool_of_its_own():
    # The parent's workers are not copied by fork; a child that reused the parent's pool
    # would wait for them forever. Parent and child sort at the same time: nothing a
    # caller sleeps on may be shared between them.
    result = run_script(
        """
        import time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)   # fork of a threaded process
        check("par_sort", "random", 50_000)
        pid = os.fork()
        if pid == 0:
            before = threads()
            try:
                for name in ("par_sort", "par_sort_unstable", "par_merge"):
                    check(name, "random", 60_000)
                code = 0 if threads() - before == 2 else 3
            except BaseException:
                code = 1
            os._exit(code)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                print("child", os.waitstatus_to_exitcode(status))
                break
            # Sorting meanwhile: a hand-back meant for one process must never reach the
            # other's caller.
            check("par_sort_unstable", "random", 60_000)
        else:
            os.kill(pid, 9)
            print("child hung")
        check("par_merge", "random", 50_000)
        """,
        {"RAYON_NUM_THREADS": "2"},
    )
    assert last_line(result) == "child 0"
