"""The benchmark lab's own logic and the patterns it shares with the tests: generators,
argument parsing, skip rules, result checking, the NumPy yardstick, report forms and the
JSON record. Runs are tiny, and no test looks at how long anything took."""

import json
import os
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from conftest import run_python
from hypothesis import given
from hypothesis import strategies as st

from vexo import _vexo, patterns
from vexo.bench import catalog, cli, machine, measure, options, plot, report, status
from vexo.bench.dask import check as dask_fingerprints
from vexo.bench.dask import cli as dask_cli
from vexo.bench.dask import cluster as dask_cluster
from vexo.bench.dask import report as dask_report
from vexo.bench.dask import settings as dask_settings
from vexo.bench.dask import timing as dask_timing

CPP_PATTERNS = Path(__file__).parents[2] / "testing"
OK, BASELINE, HELD = status.OK, catalog.BASELINE, catalog.HELD_BASELINE

# The cross-check's sizes: the edges of nearly_sorted's pair count, and one large enough
# that the draws of every seed together take each value a drawn pattern can have.
RECIPE_SIZES = (0, 1, 2, 3, 4, 31, 32, 33, 64, 100, 20_000)
RECIPE_SEEDS = (1, 7)
# The compiler and the program it makes run without the sanitizer runtime that the ASan
# suite preloads into the interpreter.
UNSANITIZED_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


@pytest.fixture(scope="module")
def print_patterns(tmp_path_factory):
    """testing/print_patterns.cpp, compiled with the C++ compiler the build would use."""
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    if compiler is None:
        pytest.skip("no C++ compiler to build the C++ pattern generators with")
    program = tmp_path_factory.mktemp("patterns") / "print_patterns"
    source = CPP_PATTERNS / "print_patterns.cpp"
    build = [compiler, "-std=c++20", "-O1", f"-I{CPP_PATTERNS}", str(source), "-o", str(program)]
    subprocess.run(build, check=True, env=UNSANITIZED_ENV, timeout=120)
    return program


def recipe(name, runs):
    """What the recipe of pattern `name` fixes, whatever the random stream, over `runs`
    ((n, values) pairs): the values themselves where nothing is drawn; the values and the
    count displaced of a permutation of the ascending ones; the set drawn from (all of it,
    over this many draws), of `random` the top three bits."""
    if name == "nearly_sorted":
        return [(n, sorted(v.tolist()), int(np.count_nonzero(v != np.arange(n)))) for n, v in runs]
    if name == "random":
        return set(np.concatenate([v >> 61 for _, v in runs]).tolist())
    if name in ("small_range", "few_distinct", "extremes"):
        return set(np.concatenate([v for _, v in runs]).tolist())
    return [(n, v.tolist()) for n, v in runs]


def test_the_cpp_generators_follow_the_same_recipes_under_the_same_names(print_patterns):
    cpp, python = {}, {}
    for seed in RECIPE_SEEDS:
        command = [str(print_patterns), str(seed), *map(str, RECIPE_SIZES)]
        printed = subprocess.run(
            command, check=True, capture_output=True, text=True, env=UNSANITIZED_ENV, timeout=60
        )
        for line in printed.stdout.splitlines():
            name, n, *values = line.split()
            cpp.setdefault(name, []).append((int(n), np.array(values, dtype=np.int64)))
            python.setdefault(name, []).append((int(n), patterns.make(name, int(n), seed)))
    assert tuple(cpp) == patterns.NAMES
    for name in patterns.NAMES:
        assert recipe(name, cpp[name]) == recipe(name, python[name]), name


@pytest.mark.parametrize("name", patterns.NAMES)
@given(n=st.integers(0, 5000), seed=st.integers(0, 2**32))
def test_patterns_are_writeable_int64_vectors_fixed_by_their_seed(name, n, seed):
    values = patterns.make(name, n, seed)
    assert values.dtype == np.int64 and values.shape == (n,)
    assert values.flags.c_contiguous and values.flags.writeable
    assert np.array_equal(values, patterns.make(name, n, seed))
    if name == "nearly_sorted":  # the one recipe whose promise no other test relies on
        assert np.array_equal(np.sort(values), np.arange(n))
        assert np.count_nonzero(values != np.arange(n)) <= 2 * (n // 32 + 1)


def test_seeds_change_the_random_patterns_and_bad_requests_are_refused():
    for name in ["random", "small_range", "nearly_sorted", "few_distinct", "extremes"]:
        assert not np.array_equal(patterns.make(name, 1000, 1), patterns.make(name, 1000, 2))
    for name, n in [("no_such_pattern", 10), ("random", -1)]:
        with pytest.raises(ValueError):
            patterns.make(name, n)


@pytest.mark.parametrize(
    "text, size",
    [("1000", 1000), ("1_000", 1000), ("1e3", 1000), ("10^4", 10**4), ("2.5e5", 250_000)],
)
def test_size_forms(text, size):
    assert options.parse_size(f" {text} ") == size


@pytest.mark.parametrize(
    "size, text",
    [(10, "10^1"), (10**6, "10^6"), (4 * 10**8, "4×10^8"), (20, "20"), (250_000, "250,000")],
)
def test_size_labels(size, text):
    assert report.format_size(size) == text


def test_names_and_sizes_come_in_a_fixed_order():
    assert options.parse_sizes("1e4, 1000,10^3") == [1000, 10_000]
    parser = cli.build_parser(list(catalog.available()))
    chosen = parser.parse_args(["--functions", f"{_vexo.__all__[0]},{catalog.STABLE_REFERENCE}"])
    assert chosen.functions == [catalog.STABLE_REFERENCE, _vexo.__all__[0]]


BAD_SIZES = ["0", "-5", "abc", "1.5", "1e-3", "10^-1", "", "2^x"]


@pytest.mark.parametrize(
    "args",
    [
        ["--functions", "no_such_sort"],
        ["--patterns", "zigzag"],
        ["--repeat", "0"],
        ["--threads", "-1"],
        ["--time-budget", "0"],
        ["--time-budget", "inf"],
        *(["--sizes", text] for text in BAD_SIZES),
    ],
)
def test_bad_arguments_exit_with_usage(args, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(args)
    assert stop.value.code == 2
    assert "error:" in capsys.readouterr().err


def test_quadratic_cases_are_skipped_by_size_and_never_called():
    bubble, quick = (catalog.module_contender(name, np.sort) for name in ("bubble", "quick"))
    assert not bubble.skips("ascending", 10**4) and bubble.skips("random", 10**5)
    assert quick.skips("ascending", 10**7) and not quick.skips("random", 10**7)
    assert not catalog.module_contender("heap", np.sort).skips("all_equal", 10**8)
    seen = []
    contender = catalog.Contender(
        "slow", lambda arr: seen.append(arr.size) or arr.sort(), quadratic_everywhere=True
    )
    cap = contender.size_cap("random")
    results = measure.run_suite(
        [contender], ["random"], [10, cap + 1], repeat=2, budget_ns=10**9, seed=1
    )
    assert [m.status for m in results] == [OK, status.SKIPPED_QUADRATIC]
    assert cap + 1 not in seen and results[1].times_ns == []


def sorted_then(damage):
    def sort(arr):
        arr.sort()
        damage(arr)

    return sort


def swap_first_two(arr):
    arr[[0, 1]] = arr[[1, 0]]


class FakePanic(BaseException):
    pass


def raise_(error):
    def sort(arr):
        raise error

    return sort


BROKEN = {
    "swaps two": (sorted_then(swap_first_two), status.WRONG, "index 0"),
    "sorts a copy": (np.sort, status.WRONG, "difference"),
    "raises": (raise_(ZeroDivisionError("division by zero")), status.ERROR, "ZeroDivisionError"),
    "panics": (raise_(FakePanic("broken invariant")), status.ERROR, "FakePanic: broken invariant"),
}


def test_a_broken_sort_is_reported_never_timed():
    # Through run_suite, whose untimed warm-up calls each contender first: a fault there
    # too stays with its contender and never stops the run.
    contenders = [catalog.Contender(case, sort) for case, (sort, _, _) in BROKEN.items()]
    results = measure.run_suite(contenders, ["random"], [500], repeat=5, budget_ns=10**9, seed=1)
    for found, (_, outcome, detail) in zip(results, BROKEN.values(), strict=True):
        assert found.status == outcome and detail in found.detail
        assert found.times_ns == [] and found.median is None and found.ratio is None
    assert report.failures(results) == results


def measure_once(sort, n=100, repeat=5):
    data = patterns.make("random", n)
    contender = catalog.Contender("flaky", sort)
    return measure.measure(contender, "random", data, np.sort(data), repeat, budget_ns=10**9)


def test_a_sort_that_fails_later_loses_its_earlier_timings_and_an_interrupt_stops_the_run():
    calls = []

    def third_call_wrong(arr):
        calls.append(1)
        arr.sort()
        if len(calls) == 3:
            swap_first_two(arr)

    found = measure_once(third_call_wrong)
    assert found.status == status.WRONG and found.times_ns == []
    with pytest.raises(KeyboardInterrupt):
        measure_once(raise_(KeyboardInterrupt()))


def timed(function, pattern, times, size=100):
    return measure.Measurement(function, pattern, size, OK, list(times))


def test_spread_shrugs_off_one_disturbed_call_and_ratios_use_the_baseline():
    steady = timed(BASELINE, "random", [1000] * 4 + [50_000])
    assert steady.median == 10 and steady.spread == 0
    other = timed("heap", "random", [3000, 3000, 3100])
    skipped = measure.Measurement("bubble", "random", 100, status.SKIPPED_QUADRATIC)
    measure.fill_ratios([steady, other, skipped])
    assert steady.ratio == 1 and other.ratio == 3 and skipped.ratio is None


def test_ratios_are_to_the_faster_numpy_and_each_table_names_it():
    # NumPy as it is: faster on "random" at both sizes, slower on "ascending" overall
    # though faster at one size (the geometric mean over the sizes decides).
    results, held = [], []
    for pattern, size, as_is, avx2, pdq in [
        ("random", 100, 1000, 2000, 4000),
        ("random", 1000, 10_000, 30_000, 20_000),
        ("ascending", 100, 1000, 1100, 500),
        ("ascending", 1000, 30_000, 10_000, 5000),
    ]:
        results += [timed(BASELINE, pattern, [as_is], size), timed("pdq", pattern, [pdq], size)]
        held.append(timed(HELD, pattern, [avx2], size))
    merged = cli.with_held_numpy(results, held)
    assert [m.function for m in merged[:3]] == [BASELINE, HELD, "pdq"]
    ratios = {(m.function, m.pattern, m.size): (m.ratio, m.baseline) for m in merged}
    assert ratios["pdq", "random", 1000] == (2, BASELINE)
    assert ratios[BASELINE, "ascending", 100] == (1000 / 1100, HELD)
    assert ratios["pdq", "ascending", 1000] == (0.5, HELD)
    titles = [table.title for table in report.tables(merged)]
    assert titles[0].endswith(f"; ratios to {BASELINE}")
    assert titles[1].endswith(f"; ratios to {HELD}")
    # One NumPy row: the title is as it always was.
    measure.against_the_faster(results, [BASELINE])
    assert "ratios to" not in report.tables(results)[0].title


def run_bench(tmp_path, *args):
    out = tmp_path / "run.json"
    code = cli.main(["--plain", "--json", str(out), *args])
    return code, json.loads(out.read_text())


@pytest.mark.parametrize(
    "active, disabled",
    [
        (["X86_V2", "X86_V3"], ""),
        (["X86_V2", "X86_V3", "X86_V4", "AVX512_ICL"], "X86_V4 AVX512_ICL"),
        (["X86_V3", "X86_V4", "AVX512_ICL", "AVX512_SPR"], "X86_V4 AVX512_ICL AVX512_SPR"),
        (["X86_V4", "AVX512_SKX", "AVX512_FUTURE"], "X86_V4 AVX512_SKX AVX512_FUTURE"),
    ],
)
def test_the_held_numpy_disables_every_avx512_group_numpy_reports(active, disabled):
    simd = {"baseline": ["X86_V2"], "dispatch": active, "active": active}
    assert machine.numpy_without_avx512(simd) == {"NPY_DISABLE_CPU_FEATURES": disabled}
    assert machine.dispatches_avx512(simd) == bool(disabled)


def test_json_record_and_the_numpy_rows(tmp_path, capsys):
    name = _vexo.__all__[0]  # bubble in every build: exercises a quadratic skip cheaply
    code, record = run_bench(
        tmp_path, "--functions", name, "--sizes", "50,30000", "--patterns", "random,few_distinct"
    )
    assert code == 0 and record["schema"] == report.SCHEMA
    assert record["command"][-1] == "random,few_distinct"
    assert record["machine"]["numpy"] == np.__version__
    assert record["settings"]["functions"] == [BASELINE, name]
    # NumPy held to AVX2 in a child exactly where NumPy dispatches AVX-512 here; the child's
    # NumPy then does not.
    held = machine.dispatches_avx512(record["machine"]["numpy_simd"])
    assert (record["settings"]["numpy_held"] is not None) == held
    if held:
        assert not machine.dispatches_avx512(record["settings"]["numpy_held"]["simd"])
        disabled = record["settings"]["numpy_held"]["environment"]["NPY_DISABLE_CPU_FEATURES"]
        assert disabled.split() == machine.avx512_targets(record["machine"]["numpy_simd"])
    rows = [BASELINE, *([HELD] if held else []), name]
    results = record["results"]
    assert [e["function"] for e in results] == rows * 4
    for entry in results:
        if entry["status"] == OK:
            figures = entry["ns_per_element"]
            assert len(entry["times_ns"]) >= 3 and all(t > 0 for t in entry["times_ns"])
            assert figures["min"] <= figures["median"] <= figures["max"]
            assert entry["ratio_to_numpy"] > 0 and entry["ratio_to"] in rows
        else:
            skipped = entry["function"], entry["size"], entry["status"]
            assert skipped == (name, 30000, status.SKIPPED_QUADRATIC)
    cells = [results[i : i + len(rows)] for i in range(0, len(results), len(rows))]
    assert all(any(e["ratio_to_numpy"] == 1 for e in cell[:-1]) for cell in cells)
    assert "skipped (quadratic)" in capsys.readouterr().out


def test_the_overview_has_every_pattern_and_function_at_the_largest_size(tmp_path, capsys):
    name = _vexo.__all__[0]  # bubble: quadratic, so skipped at the larger size
    code, record = run_bench(
        tmp_path,
        "--functions",
        f"{name},heap",
        "--sizes",
        "30000,50",
        "--patterns",
        "random,few_distinct",
        "--overview",
    )
    out = capsys.readouterr().out
    assert code == 0
    overview = out[out.index(f"All patterns at {report.format_size(30_000)} elements") :]
    overview = overview.splitlines()
    assert re.fullmatch(r"\| function +\| +random \| +few_distinct \|", overview[2])
    rows = {
        line.split("|")[1].strip(): line.split("|")[2:4] for line in overview[4:] if "|" in line
    }
    assert set(rows) >= {BASELINE, name, "heap"}
    assert [cell.strip() for cell in rows[name]] == ["quadratic"] * 2
    by_cell = {(e["function"], e["pattern"]): e for e in record["results"] if e["size"] == 30000}
    for pattern, cell in zip(["random", "few_distinct"], rows["heap"], strict=True):
        assert (
            cell.strip() == f"{report.format_figure(by_cell['heap', pattern]['ratio_to_numpy'])}x"
        )


def test_a_broken_sort_fails_the_run_and_is_named(tmp_path, capsys, monkeypatch):
    offered = catalog.available()
    offered["broken"] = catalog.Contender("broken", sorted_then(swap_first_two))
    monkeypatch.setattr(catalog, "available", lambda: offered)
    code, record = run_bench(
        tmp_path, "--functions", "broken", "--sizes", "40", "--patterns", "random"
    )
    out = capsys.readouterr().out
    assert code == 1
    assert re.search(r"\| broken +\| +wrong result \|", out)
    assert "FAILURES:\nbroken on random, n=40: wrong result: first difference at index 0" in out
    assert record["results"][-1]["status"] == status.WRONG


def test_threads_measure_in_a_child_with_the_pool_size(tmp_path, capfd, monkeypatch):
    monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)
    code, record = run_bench(
        tmp_path, "--threads", "3", "--functions", BASELINE, "--sizes", "20", "--patterns", "random"
    )
    assert code == 0 and "RAYON_NUM_THREADS" not in os.environ
    assert record["settings"]["threads"] == 3
    assert record["machine"]["pool_environment"]["RAYON_NUM_THREADS"] == "3"
    assert "pool threads: 3" in capfd.readouterr().out


TINY_RUN = "['--functions', 'numpy.sort', '--sizes', '30', '--patterns', 'ascending']"


def bench_in_subprocess(blocked: str, extra: str = "") -> subprocess.CompletedProcess:
    return run_python(
        f"""
        import sys
        sys.modules[{blocked!r}] = None  # as if the package were not installed
        from vexo.bench import main
        raise SystemExit(main({TINY_RUN} + [{extra}]))
        """,
        env={"FORCE_COLOR": "1", "COLUMNS": "120"},
    )


def test_rich_tables_when_rich_is_installed_and_plain_ones_without():
    pytest.importorskip("rich")
    fancy = bench_in_subprocess("nothing_blocked")
    plain = bench_in_subprocess("rich")
    assert fancy.returncode == 0 and plain.returncode == 0, fancy.stderr + plain.stderr
    assert "─" in fancy.stdout and "|---" not in fancy.stdout
    assert re.search(r"^\| numpy\.sort[ ()\w]+\| +[\d.]+ ±\d+% 1\.00x \|$", plain.stdout, re.M)
    assert "\x1b[" not in plain.stdout and plain.stderr == ""


def test_plot_without_matplotlib_is_a_usage_error():
    result = bench_in_subprocess("matplotlib", "'--plot', 'never.png'")
    assert result.returncode == 2 and "--plot needs matplotlib" in result.stderr


@pytest.mark.skipif(not plot.available(), reason="matplotlib is not installed")
def test_plot_is_a_png(tmp_path, capsys):
    target = tmp_path / "bench.png"
    run_bench(
        tmp_path,
        *("--functions", f"{catalog.STABLE_REFERENCE},pdq", "--sizes", "10,100"),
        *("--patterns", "random,sawtooth", "--plot", str(target)),
    )
    assert target.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


# vexo.bench.dask: its check of a distributed result, its chunking, a run without pandas.


def dask_check(parts):
    return dask_fingerprints.combined(
        [dask_fingerprints.fingerprint(np.array(part, np.int64)) for part in parts]
    )


@given(values=st.lists(st.integers(-(2**63), 2**63 - 1), min_size=2, max_size=60), data=st.data())
def test_dask_bench_check_sees_order_across_chunks_and_lost_or_changed_values(values, data):
    ordered = sorted(values)
    cut = data.draw(st.integers(1, len(values) - 1))
    reference = dask_check([values])[1]
    assert dask_check([ordered[:cut], [], ordered[cut:]]) == (True, reference)
    assert dask_check([ordered[:-1]])[1] != reference
    changed = list(ordered)
    changed[cut] += 1 if changed[cut] < 2**63 - 1 else -1
    assert dask_check([changed])[1] != reference
    if ordered[0] != ordered[-1]:
        assert not dask_check([ordered[::-1]])[0]
        assert not dask_check([ordered[cut:], ordered[:cut]])[0]


@pytest.mark.parametrize(
    "outcome, failed",
    [
        (status.error("KilledWorker"), True),
        (status.SKIPPED_TOO_LARGE, False),
        (status.NEEDS_PANDAS, False),
    ],
)
def test_a_dask_run_that_raised_fails_the_bench_and_a_skipped_one_does_not(outcome, failed):
    assert status.failed(outcome) == failed


def test_dask_bench_row_gives_the_spread_and_the_kernels_share():
    run = dask_timing.Run("vexo.dask.sort", 10**6, times=[1.0, 1.0, 1.0, 1.0, 2.0])
    run.cpu_times, run.system_times = [2.0, 3.0, 2.0, 2.0, 9.0], [0.5, 0.1, 0.5, 0.6, 0.5]
    row = dict(zip(dask_report.HEADER, dask_report.table_rows([run])[0], strict=True))
    assert (row["p90/p10"], row["CPU ns/element"], row["of it system"]) == ("1.60", "2000", "500")
    assert dask_timing.Run("vexo.dask.sort", 10, times=[1.0, 3.0]).spread is None


@pytest.mark.parametrize(
    "size, chunk, workers", [(10**7, 5 * 10**6, 2), (4 * 10**8, 5 * 10**6, 2), (7, 3, 3)]
)
def test_dask_bench_chunks_cover_the_size(size, chunk, workers):
    sizes = dask_timing.chunk_sizes(size, chunk, workers)
    assert sum(sizes) == size and len(sizes) >= min(
        size, dask_timing.MIN_CHUNKS_PER_WORKER * workers
    )


@pytest.mark.parametrize("workers, pool_threads", [(1, None), (2, None), (64, None), (2, 3)])
def test_dask_bench_pool_takes_a_share_of_the_cores_unless_set(workers, pool_threads):
    setup = dask_settings.Settings(workers=workers, pool_threads=pool_threads)
    share = max(1, machine.usable_cores() // workers)
    assert dask_cluster.pool_share(setup) == (pool_threads or share)


def test_dask_step_bench_checks_and_lists_every_candidate(capsys, monkeypatch):
    pytest.importorskip("dask")  # the merge tree is vexo.dask's own
    from vexo.bench.dask import steps

    monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)  # put back as it was afterwards
    assert steps.main(["--size", "3000", "--repeat", "1"]) == 0
    out = capsys.readouterr().out
    for name in [*steps.CHUNK_SORTS, *steps.MERGE_SORTS, "merge tree", "numpy.sort"]:
        assert f" {name} |" in out
    for label in [*steps.CHUNK_PATTERNS, "80 runs, small_range"]:
        assert f"| {label} " in out


@pytest.mark.parametrize(
    "argv, within, beyond",
    [
        ("", [10**6, 10**7], []),
        ("--spill", [10**6, 10**7], [4 * 10**8]),
        ("--spill-size 4e4", [10**6, 10**7], [40_000]),
        ("--spill-size 4e4 --no-spill", [10**6, 10**7], []),
        ("--sizes 1e8 --spill-only", [], [4 * 10**8]),
    ],
)
def test_dask_bench_runs_beyond_memory_only_when_asked(argv, within, beyond):
    planned = dask_cli.plans(dask_cli.build_parser().parse_args(argv.split()))
    assert [p.size for p in planned if p.memory_limit is None] == within
    assert [p.size for p in planned if p.memory_limit is not None] == beyond


@pytest.mark.skipif(
    bool(os.environ.get("VEXO_SANITIZED")),
    reason="worker processes under the sanitizer add time, not coverage",
)
def test_dask_bench_runs_without_pandas():
    pytest.importorskip("distributed")
    done = run_python(
        """
        import sys
        sys.modules["pandas"] = None  # as after pip install "vexo-sort[dask]"
        from vexo.bench.dask import main
        argv = "--plain --sizes 2e4 --spill-size 4e4 --repeat 1 --threads-per-worker 2"
        raise SystemExit(main([*argv.split(), "--pool-threads", "1"]))
        """,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert "2 worker processes, 2 task threads and a 1-thread vexo pool each" in done.stdout
    for size in map(re.escape, ["2×10^4", "4×10^4"]):
        assert re.search(rf"^\| {size} +\| vexo\.dask\.sort +\| [\d.]+ ", done.stdout, re.M)
        assert re.search(
            rf"^\| {size} +\| dataframe\.sort_values +\| unavailable: needs pandas ",
            done.stdout,
            re.M,
        )
