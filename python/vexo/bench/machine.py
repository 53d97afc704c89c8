"""The machine a run measured: figures mean little without the CPU, the cores and NumPy."""

import importlib.util
import os
import platform
import sys

import numpy as np

import vexo

# The variable through which NumPy, when imported, leaves dispatch targets unused.
NUMPY_DISABLE_VARIABLE = "NPY_DISABLE_CPU_FEATURES"
POOL_SIZE_VARIABLE = "RAYON_NUM_THREADS"
POOL_VARIABLES = (POOL_SIZE_VARIABLE, "RAYON_RS_NUM_CPUS")
MAX_POOL_THREADS = 65535  # the pool caps every size it is given here


def installed(module: str) -> bool:
    """Whether the top-level `module` is installed here, found without importing it."""
    return importlib.util.find_spec(module) is not None


def cpu_model() -> str:
    """The CPU's model name from /proc/cpuinfo, else what the platform module knows."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as cpuinfo:
            for line in cpuinfo:
                key, _, value = line.partition(":")
                if key.strip() == "model name":
                    return value.strip()
    except OSError:
        pass
    return platform.processor() or platform.machine() or "unknown"


def usable_cores() -> int:
    """The cores this process may run on (its affinity mask)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError, OSError:
        return os.cpu_count() or 1


def default_pool_threads() -> int:
    """The pool's size when the environment sets none: the processors online, as the pool
    asks sysconf for them. That is not the affinity count: a process pinned to fewer cores
    still gets a worker per online processor."""
    try:
        online = os.sysconf("SC_NPROCESSORS_ONLN")
    except AttributeError, ValueError, OSError:
        online = os.cpu_count() or 1
    return min(max(online, 1), MAX_POOL_THREADS)


def numpy_simd() -> dict:
    """NumPy's SIMD build targets and which of its dispatch targets this CPU runs.

    NumPy keeps these in its core extension; they moved between releases, so a NumPy
    without them gives empty lists rather than an error.
    """
    core = None
    for module_name in ("numpy._core._multiarray_umath", "numpy.core._multiarray_umath"):
        try:
            core = __import__(module_name, fromlist=["_"])
            break
        except ImportError:
            continue
    baseline = list(getattr(core, "__cpu_baseline__", []))
    dispatch = list(getattr(core, "__cpu_dispatch__", []))
    features = dict(getattr(core, "__cpu_features__", {}))
    return {
        "baseline": baseline,
        "dispatch": dispatch,
        "active": [target for target in dispatch if features.get(target)],
    }


def thread_count(text: str | None) -> int | None:
    """The count a pool variable holds: an optional "+", then ASCII digits only, of a value
    that fits in 64 bits. Anything else is no count at all, as for the pool, which then
    reads the next variable rather than taking a huge value as its cap."""
    digits = (text or "").removeprefix("+")
    if not (digits.isascii() and digits.isdecimal()):
        return None
    value = int(digits)
    return value if value < 1 << 64 else None


def avx512_targets(simd: dict) -> list[str]:
    """The dispatch targets through which NumPy runs AVX-512 code here, by numpy_simd()'s
    account. NumPy groups AVX-512 by CPU generation (X86_V4, AVX512_ICL, AVX512_SPR, and
    more in later releases), and disabling one group leaves the others active, so the list
    comes from NumPy itself rather than from names known when this was written."""
    return [
        target for target in simd["active"] if target == "X86_V4" or target.startswith("AVX512")
    ]


def dispatches_avx512(simd: dict) -> bool:
    """Whether NumPy runs AVX-512 code here, by numpy_simd()'s account."""
    return bool(avx512_targets(simd))


def numpy_without_avx512(simd: dict) -> dict[str, str]:
    """The environment that holds a NumPy child to its AVX2 sorts: every AVX-512 target
    that `simd` (numpy_simd() of the parent) reports active, disabled."""
    return {NUMPY_DISABLE_VARIABLE: " ".join(avx512_targets(simd))}


def pool_threads() -> int | None:
    """The pool size the environment asks for, or None for the default_pool_threads().
    A 0 in the first variable asks for the default without consulting the second."""
    for variable in POOL_VARIABLES:
        count = thread_count(os.environ.get(variable))
        if count is not None and (count or variable == POOL_SIZE_VARIABLE):
            return min(count, MAX_POOL_THREADS) or None
    return None


def describe() -> dict:
    """The machine and the settings a run's figures depend on.

    Returns
    -------
    dict
        The CPU model, the logical and usable cores, the platform, Python's and NumPy's
        versions, NumPy's SIMD targets (`numpy_simd`), vexo's version, and the pool's
        variables and size.
    """
    return {
        "cpu_model": cpu_model(),
        "logical_cores": os.cpu_count(),
        "usable_cores": usable_cores(),
        "platform": platform.platform(),
        "python": platform.python_version(),
        "python_implementation": sys.implementation.name,
        "numpy": np.__version__,
        "numpy_simd": numpy_simd(),
        "vexo": vexo.__version__,
        "pool_environment": {variable: os.environ.get(variable) for variable in POOL_VARIABLES},
        "pool_threads": pool_threads(),
        "pool_default_threads": default_pool_threads(),
    }


def one_line(machine: dict) -> str:
    """The machine as the report's heading says it."""
    simd = " ".join(machine["numpy_simd"]["active"]) or "none reported"
    pool = machine["pool_threads"] or f"default ({machine['pool_default_threads']})"
    return (
        f"{machine['cpu_model']}, {machine['usable_cores']} cores; Python {machine['python']}, "
        f"NumPy {machine['numpy']} (SIMD: {simd}); pool threads: {pool}"
    )
