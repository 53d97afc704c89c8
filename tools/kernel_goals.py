"""The tables of tools/kernel-goals: vexo's sorts against the fastest single-thread sort.

    python tools/kernel_goals.py REPETITIONS BENCH_JSON...

Each BENCH_JSON is the C++ bench's JSON output of rows tools/kernel-goals selects (medians
of REPETITIONS). NumPy's in-place sort is timed here, in child processes: one as NumPy
dispatches, one with every AVX-512 group it reports disabled (its AVX2 sort).
"""

import json
import os
import re
import subprocess
import sys
import time

SIZES = (10_000, 100_000, 1_000_000, 10_000_000)
ROWS = {
    # label: (bench row, sizes)
    "par_sort_unstable, 1 worker": ("par_sort_unstable{isa}[1w]", SIZES),
    "par_sort_unstable, 2 workers": ("par_sort_unstable{isa}[2w]", SIZES),
    "par_sort, 2 workers": ("par_sort{isa}[2w]", SIZES),
    "tim": ("tim_sort{isa}", (1_000_000,)),
    "merge": ("merge_sort{isa}", (1_000_000,)),
}
NUMPY_TIMER = """
import statistics, sys, time
import numpy as np
n, repetitions = int(sys.argv[1]), int(sys.argv[2])
data = np.random.default_rng(12345).integers(-(2**63), 2**63 - 1, n, dtype=np.int64)
times = []
calls = max(1, 2_000_000 // n)  # about 2e6 elements a repetition
for _ in range(repetitions):
    total = 0.0
    for _ in range(calls):
        work = data.copy()
        start = time.perf_counter()
        work.sort()
        total += time.perf_counter() - start
    times.append(total / calls)
print(statistics.median(times) * 1e9 / n)
"""


def bench_medians(paths: list[str]) -> dict[str, float]:
    """Row name ("tim_sort<avx2>/random/1000000") -> median ns per element."""
    medians = {}
    for path in paths:
        with open(path, encoding="utf-8") as report:
            benchmarks = json.load(report)["benchmarks"]
        medians.update(
            (b["run_name"].removesuffix("/manual_time"), b["ns/elem"])
            for b in benchmarks
            if b.get("aggregate_name") == "median"
        )
    return medians


def avx512_groups() -> str:
    """NumPy's dispatch groups of AVX-512 on this build, space-separated."""
    listing = subprocess.run(
        [
            sys.executable,
            "-c",
            "import numpy._core._multiarray_umath as m; print(*m.__cpu_dispatch__)",
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    return " ".join(g for g in listing if g == "X86_V4" or g.startswith("AVX512"))


def numpy_ns(n: int, repetitions: int, disabled: str) -> float:
    """Median ns per element of NumPy's in-place sort of n random int64 values."""
    environment = dict(os.environ)
    if disabled:
        environment["NPY_DISABLE_CPU_FEATURES"] = disabled
    result = subprocess.run(
        [sys.executable, "-c", NUMPY_TIMER, str(n), str(repetitions)],
        capture_output=True,
        text=True,
        check=True,
        env=environment,
    )
    return float(result.stdout)


def numpy_times(repetitions: int) -> dict[str, dict[int, float]]:
    """NumPy's ns per element at each size, held to AVX2 and as it dispatches; timed once
    for both tables."""
    disabled = avx512_groups()
    return {
        "numpy (AVX2)": {n: numpy_ns(n, repetitions, disabled) for n in SIZES},
        "numpy": {n: numpy_ns(n, repetitions, "") for n in SIZES},
    }


def yardsticks(
    medians: dict[str, float], numpy: dict[str, dict[int, float]], isa: str
) -> dict[int, tuple[float, str]]:
    """Size -> the fastest single-thread sort's ns per element and its name: vqsort and
    NumPy held to AVX2 for the AVX2 table, and NumPy as it dispatches too for the other."""
    held = ["numpy (AVX2)"] if isa else ["numpy (AVX2)", "numpy"]
    fastest = {}
    for n in SIZES:
        candidates = {f"vqsort{isa}": medians[f"hwy::VQSort{isa}[seq]/random/{n}"]}
        candidates.update((name, numpy[name][n]) for name in held)
        name = min(candidates, key=candidates.__getitem__)
        fastest[n] = (candidates[name], name)
    return fastest


def table(medians: dict[str, float], numpy: dict[str, dict[int, float]], isa: str) -> str:
    """One Markdown table: each row's ns per element and ratio to the fastest yardstick."""
    fastest = yardsticks(medians, numpy, isa)
    header = (
        "| ns per element (ratio) | " + " | ".join(f"10^{len(str(n)) - 1}" for n in SIZES) + " |"
    )
    lines = [header, "|---|" + "---:|" * len(SIZES)]
    lines.append(
        "| fastest single thread | "
        + " | ".join(f"{ns:.2f} ({name})" for ns, name in (fastest[n] for n in SIZES))
        + " |"
    )
    for label, (row, sizes) in ROWS.items():
        cells = []
        for n in SIZES:
            key = f"{row.format(isa=isa)}/random/{n}"
            if n not in sizes or key not in medians:
                cells.append("")
                continue
            ns = medians[key]
            cells.append(f"{ns:.2f} ({ns / fastest[n][0]:.2f}x)")
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main() -> None:
    repetitions = int(sys.argv[1])
    medians = bench_medians(sys.argv[2:])
    with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
        model = re.search(r"model name\s*:\s*(.*)", cpuinfo.read())
    print(f"CPU: {model.group(1) if model else 'unknown'}; medians of {repetitions}; random int64")
    numpy = numpy_times(repetitions)
    print(f"at {time.strftime('%H:%M UTC', time.gmtime())}, load {os.getloadavg()[0]:.1f}\n")
    print("Kernels held to AVX2 (vexo forced, vqsort and NumPy held):\n")
    print(table(medians, numpy, "<avx2>"))
    print("\nThe kernels the module picks (vqsort and NumPy as they dispatch, NumPy also held):\n")
    print(table(medians, numpy, ""))


if __name__ == "__main__":
    main()
