"""The machine a run measured: figures mean little without the CPU, the cores and NumPy."""

import os
import platform
import sys
from importlib import metadata

import numpy as np

POOL_SIZE_VARIABLE = "RAYON_NUM_THREADS"
POOL_VARIABLES = (POOL_SIZE_VARIABLE, "RAYON_RS_NUM_CPUS")


def cpu_model() -> str:
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
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


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
    return {"baseline": baseline, "dispatch": dispatch, "active": [target for target in dispatch if features.get(target)]}


def vexo_version() -> str:
    try:
        return metadata.version("vexo")
    except metadata.PackageNotFoundError:
        return "unknown"


def pool_threads() -> int | None:
    """The pool size the environment asks for, or None for the default (usable cores)."""
    for variable in POOL_VARIABLES:
        text = os.environ.get(variable, "").removeprefix("+")
        if text.isdecimal() and text.isascii():
            return int(text) or None
    return None


def describe() -> dict:
    return {
        "cpu_model": cpu_model(),
        "logical_cores": os.cpu_count(),
        "usable_cores": usable_cores(),
        "platform": platform.platform(),
        "python": platform.python_version(),
        "python_implementation": sys.implementation.name,
        "numpy": np.__version__,
        "numpy_simd": numpy_simd(),
        "vexo": vexo_version(),
        "pool_environment": {variable: os.environ.get(variable) for variable in POOL_VARIABLES},
        "pool_threads": pool_threads(),
    }


def one_line(machine: dict) -> str:
    """The machine as the report's heading says it."""
    simd = " ".join(machine["numpy_simd"]["active"]) or "none reported"
    pool = machine["pool_threads"] or f"default ({machine['usable_cores']})"
    return (
        f"{machine['cpu_model']}, {machine['usable_cores']} cores; Python {machine['python']}, "
        f"NumPy {machine['numpy']} (SIMD: {simd}); pool threads: {pool}"
    )
