"""The Dask bench's timing: vexo.dask.sort and Dask's other sorts on a LocalCluster.

Contenders, each on the same random int64 array:
- vexo.dask.sort;
- (a) the array rechunked into one chunk, then numpy.sort on the worker that holds it;
- (b) dask.dataframe's sort_values on the same values as a one-column frame;
- (c) numpy.sort of the whole array in this process, where it fits in memory.

Every timed run gets an input of its own, made and persisted on the cluster before the
clock starts (an earlier run's transfers leave copies of input chunks behind, which would
spare the next run its own), and each result stays in the workers' memory (persisted,
waited for): neither making the data nor fetching the result is timed. The workers import
what every contender needs before the first run, and each size is sorted --repeat times
by every contender in turn (the median is reported): on a virtual machine whose host
takes back the memory a guest frees, the first touch of fresh memory can cost more than
the sort, and it falls on whichever run comes after a pause. Every result is then checked
on the workers: each chunk ascending, the chunks in order, and the count, sum and xor
(mod 2^64) those of the input. A sampler reads every worker's resident memory ten times
a second. The dataframe contender needs pandas; without it, it is reported unavailable.

The beyond-memory run (--spill-size, 4e8 elements, 3.2 GB, by default) starts its own
cluster whose workers may hold --spill-memory-limit each, so Dask spills to disk (in
--spill-directory). Nothing there holds the whole array: the workers make the input chunk
by chunk inside the sort's graph, and the result is checked chunk by chunk as it is
merged, so the time is that of the sort and the check together. The peak of the disk the
spilled data takes is sampled once a second. The contenders that gather the whole array
in one worker are skipped there.

The seams: `DISTRIBUTED` maps each distributed contender to the function that builds its
sort of a dask array; `time_distributed` and `time_local` time one repetition into a
`Run`; `measure_size` runs every contender at one size on a started cluster, and
`run_plans` starts the clusters a list of `Plan`s needs. `Settings` is all they take from
the command line.
"""

import itertools
import logging
import math
import os
import statistics
import sys
import threading
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np

from vexo import patterns

from .. import machine, report, status
from ..console import Progress

VEXO = "vexo.dask.sort"
RECHUNK = "rechunk+numpy.sort"  # (a)
DATAFRAME = "dataframe.sort_values"  # (b)
LOCAL = "numpy.sort"  # (c), in this process
CONTENDERS = (VEXO, RECHUNK, DATAFRAME, LOCAL)
GATHERING = {RECHUNK, LOCAL}  # hold the whole array in one process

DEFAULT_WORKERS = 2
DEFAULT_REPEAT = 3  # of each contender at each size; the beyond-memory run runs once
# Elements per chunk: 1.25e7 (100 MB). Each output chunk merges one sorted run per input
# chunk, so fewer, larger chunks make shorter merges: at 10^8 elements on 2 workers, 8
# chunks took 8.3 s of worker processor time where 20 chunks of 5e6 took 9.8 s.
DEFAULT_CHUNK_SIZE = 12_500_000
MIN_CHUNKS_PER_WORKER = 4  # smaller sizes still give every worker several chunks
SAMPLE_INTERVAL = 0.1  # seconds between two readings of the workers' memory
DISK_SAMPLE_INTERVAL = 1.0  # seconds between two walks of the spill directory
# numpy.sort in this process runs only when this many copies of the array fit in the
# memory available: the array, its sorted copy and room for everything else.
LOCAL_COPIES = 3
SEED = 1
# glibc gives a freed block of more than 32 MB straight back to the system, so the next
# one is fresh memory again, which a virtual machine may charge dearly for (see the
# README): with these, a worker keeps what it frees and allocates from it again.
RETAIN_FREED_MEMORY = {"MALLOC_MMAP_MAX_": "0", "MALLOC_TRIM_THRESHOLD_": str(2**62)}


@dataclass(frozen=True)
class Settings:
    """How the clusters are set up and each size is measured."""

    workers: int = DEFAULT_WORKERS  # worker processes
    threads: int = 1  # task threads per worker process
    pool_threads: int | None = None  # vexo's pool in each worker; None: its share of the cores
    repeat: int = DEFAULT_REPEAT  # of each contender at each size, within memory
    chunk_size: int = DEFAULT_CHUNK_SIZE  # elements per input chunk
    retain_freed_memory: bool = False  # the workers run with RETAIN_FREED_MEMORY
    spill_directory: str | None = None  # where limited workers spill; None: Dask's choice


@dataclass(frozen=True)
class Plan:
    """One size to sort, on workers of this memory limit (None: Dask's, "auto")."""

    size: int
    memory_limit: str | None = None

    @property
    def spilled(self) -> bool:
        """Whether the workers are limited, so the data spills to disk."""
        return self.memory_limit is not None


@dataclass
class Run:
    """One contender at one size, over its repetitions."""

    contender: str
    size: int
    times: list[float] = field(default_factory=list)  # seconds on the clock, one per repetition
    # processor time of all workers (or this process), one per repetition, and of it the
    # time in the kernel (page faults of fresh memory, the sockets)
    cpu_times: list[float] = field(default_factory=list)
    system_times: list[float] = field(default_factory=list)
    peak_bytes: int = 0  # the largest resident memory of one worker (or this process)
    disk_bytes: int | None = None  # the most the spilled data took on disk, where it spilled
    status: str = status.OK

    @property
    def seconds(self) -> float | None:
        """The median time on the clock, None unless every repetition ran and passed."""
        return statistics.median(self.times) if self.times and self.status == status.OK else None

    @property
    def cpu_seconds(self) -> float:
        return statistics.median(self.cpu_times)

    @property
    def system_seconds(self) -> float:
        return statistics.median(self.system_times)

    @property
    def spread(self) -> float | None:
        """The 90th percentile of the times over the 10th, where there are a few."""
        if len(self.times) < 3:
            return None
        deciles = statistics.quantiles(self.times, n=10, method="inclusive")
        return deciles[-1] / deciles[0]

    @property
    def rate(self) -> float | None:
        return self.size / self.seconds if self.seconds else None

    def record(self, seconds: float, memory: PeakMemory) -> None:
        self.times.append(seconds)
        self.cpu_times.append(memory.cpu_seconds)
        self.system_times.append(memory.system_seconds)
        self.peak_bytes = max(self.peak_bytes, memory.peak)
        if memory.directory is not None:
            self.disk_bytes = max(self.disk_bytes or 0, memory.disk_peak)


# Input ------------------------------------------------------------------------------


def _input_block(block_info=None):
    """Block k of the input: vexo's random pattern, seeded with SEED + k, so any process
    makes the same array."""
    ((start, stop),) = block_info[None]["array-location"]
    (index,) = block_info[None]["chunk-location"]
    return patterns.make("random", stop - start, SEED + index)


def chunk_sizes(size: int, chunk_size: int, workers: int) -> tuple[int, ...]:
    """The input's chunk sizes: `size` elements in near-equal chunks of at most
    `chunk_size`, and at least MIN_CHUNKS_PER_WORKER for each of the `workers`."""
    count = max(math.ceil(size / chunk_size), MIN_CHUNKS_PER_WORKER * workers)
    return tuple(np.diff(np.linspace(0, size, count + 1).astype(np.int64)).tolist())


_inputs = itertools.count()


def input_array(chunks: tuple[int, ...]):
    """The input, made by the workers chunk by chunk; a new name every time, so that no
    run finds another's copies of it."""
    import dask.array as da

    return da.map_blocks(
        _input_block,
        chunks=(chunks,),
        dtype=np.int64,
        meta=np.empty(0, np.int64),
        name=f"vexo-bench-input-{os.getpid()}-{next(_inputs)}",
    )


def local_input(chunks: tuple[int, ...]) -> np.ndarray:
    """The same array as input_array, made in this process."""
    return np.concatenate(
        [patterns.make("random", length, SEED + index) for index, length in enumerate(chunks)]
    )


# Contenders -------------------------------------------------------------------------


def _vexo_sort(x):
    import vexo.dask

    return vexo.dask.sort(x)


def _rechunk_sort(x):
    return x.rechunk(x.shape[0]).map_blocks(np.sort)


def quiet_legacy_dataframe() -> None:
    """Debian's Dask comes without dask-expr, and its legacy dataframe warns of that in
    every process that imports it."""
    warnings.filterwarnings(
        "ignore", message="Dask dataframe query planning is disabled", category=FutureWarning
    )


def dataframe_available() -> bool:
    """dask.dataframe needs pandas, which `pip install "vexo-sort[dask]"` does not bring."""
    try:
        import pandas  # noqa: F401
    except ImportError:
        return False
    return True


def _dataframe_sort(x):
    quiet_legacy_dataframe()
    import dask.dataframe as dd

    return dd.from_dask_array(x, columns="v").to_frame().sort_values("v")


DISTRIBUTED: dict[str, Callable] = {
    VEXO: _vexo_sort,
    RECHUNK: _rechunk_sort,
    DATAFRAME: _dataframe_sort,
}


# Checking ---------------------------------------------------------------------------


def fingerprint(block) -> np.ndarray:
    """count, ascending?, first, last, sum and xor (mod 2^64) of one chunk."""
    values = np.asarray(block, dtype=np.int64).ravel()
    wrapped = values.view(np.uint64)
    if len(values) == 0:
        return np.zeros(6, np.uint64)
    ascending = bool(np.all(values[1:] >= values[:-1]))
    return np.array(
        [
            len(values),
            ascending,
            wrapped[0],
            wrapped[-1],
            wrapped.sum(dtype=np.uint64),
            np.bitwise_xor.reduce(wrapped),
        ],
        np.uint64,
    )


def combined(prints: Sequence[np.ndarray]) -> tuple[bool, tuple[int, int, int]]:
    """Whether the chunks, in order, form one ascending array, and its count, sum and xor."""
    filled = [p for p in prints if p[0]]
    ascending = all(bool(p[1]) for p in filled)
    bounds = [(int(p[2].view(np.int64)), int(p[3].view(np.int64))) for p in filled]
    ascending &= all(last <= first for (_, last), (first, _) in itertools.pairwise(bounds))
    count = sum(int(p[0]) for p in prints)
    total = sum(int(p[4]) for p in prints) % 2**64
    xor = 0
    for p in prints:
        xor ^= int(p[5])
    return ascending, (count, total, xor)


def distributed_fingerprint(collection) -> tuple[bool, tuple[int, int, int]]:
    """The check, one task per chunk (of an array or a frame): nothing but the
    fingerprints leaves the workers."""
    import dask

    # Unoptimised: Dask's optimised to_delayed loses the data of a collection persisted on a
    # distributed cluster and hands on the keys instead.
    parts = np.ravel(collection.to_delayed(optimize_graph=False))
    return combined(dask.compute(*(dask.delayed(fingerprint)(part) for part in parts)))


# Memory -----------------------------------------------------------------------------


def directory_bytes(directory: str) -> int:
    total = 0
    for root, _, files in os.walk(directory):
        for name in files:
            try:
                total += os.stat(os.path.join(root, name)).st_size
            except OSError:  # spilled data read back and deleted meanwhile
                pass
    return total


class PeakMemory:
    """Samples the resident memory of the given processes until stopped; keeps each one's
    peak, and the processor time they used in between (on a shared machine the time on
    the clock depends on the others' load, the processor time much less). Given a
    directory, also the most its files took, once a second."""

    def __init__(self, pids: Sequence[int], directory: str | None = None):
        import psutil

        self.processes = [psutil.Process(pid) for pid in pids]
        self.peaks = [0] * len(pids)
        self.directory = directory
        self.disk_peak = 0
        self.cpu_seconds = 0.0
        self.system_seconds = 0.0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._sample, daemon=True)

    def _cpu(self) -> tuple[float, float]:
        """The processes' processor time so far, and of it their time in the kernel."""
        total = system = 0.0
        for process in self.processes:
            try:
                times = process.cpu_times()
                total += times.user + times.system
                system += times.system
            except Exception:  # see _sample
                pass
        return total, system

    def _sample(self) -> None:
        walked = 0.0
        while True:
            for index, process in enumerate(self.processes):
                try:
                    self.peaks[index] = max(self.peaks[index], process.memory_info().rss)
                except Exception:  # a worker restarted by its nanny: its peak so far stays
                    pass
            if self.directory and time.monotonic() - walked >= DISK_SAMPLE_INTERVAL:
                walked = time.monotonic()
                self.disk_peak = max(self.disk_peak, directory_bytes(self.directory))
            if self.done.wait(SAMPLE_INTERVAL):
                return

    def __enter__(self):
        self.cpu_seconds, self.system_seconds = (-used for used in self._cpu())
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()
        total, system = self._cpu()
        self.cpu_seconds += total
        self.system_seconds += system

    @property
    def peak(self) -> int:
        return max(self.peaks)


# Runs -------------------------------------------------------------------------------


def pool_share(settings: Settings) -> int:
    """vexo pool threads per worker: as set, or the worker's share of the cores."""
    return settings.pool_threads or max(1, machine.usable_cores() // settings.workers)


def start_cluster(settings: Settings, memory_limit: str | None):
    """A LocalCluster of worker processes, each with a one-share vexo pool.

    Parameters
    ----------
    settings : Settings
        The workers, their threads, and whether they keep the memory they free.
    memory_limit : str or None
        Each worker's memory limit (Dask's form, "1.5GB"), beyond which it spills to
        `settings.spill_directory`; None for Dask's own limit, "auto".

    Returns
    -------
    tuple
        The cluster and a client of it, each a context manager that closes it.
    """
    import dask
    from distributed import Client, LocalCluster

    env = {machine.POOL_SIZE_VARIABLE: str(pool_share(settings))}
    if settings.retain_freed_memory:
        env.update(RETAIN_FREED_MEMORY)
    spilling = memory_limit is not None
    # Random int64 values do not compress: compressing what spills only costs time.
    with dask.config.set({"distributed.worker.memory.spill-compression": False}):
        cluster = LocalCluster(
            n_workers=settings.workers,
            # vexo's sorts hold the interpreter lock: more task threads wait for it (the
            # merges release it)
            threads_per_worker=settings.threads,
            processes=True,
            memory_limit=memory_limit or "auto",
            local_directory=settings.spill_directory if spilling else None,
            dashboard_address=None,
            silence_logs=logging.ERROR,  # the dataframe shuffle warns of every start and end
            env=env,
        )
    client = Client(cluster)
    client.run(quiet_legacy_dataframe)
    return cluster, client


def warm_up() -> None:
    """Imports what the contenders need and starts vexo's pool, in a worker before the
    first timed run: none of that is the first contender's cost."""
    import dask.array  # noqa: F401

    if dataframe_available():
        import dask.dataframe  # noqa: F401

    import vexo
    import vexo.dask  # noqa: F401

    vexo.par_sort_unstable(np.arange(10_000, 0, -1, dtype=np.int64))


def time_distributed(client, run: Run, chunks: tuple[int, ...], spilled: bool, directory) -> None:
    """Times one more repetition of `run`'s contender on the cluster, on an input of its own.

    Parameters
    ----------
    client : distributed.Client
        A client of the cluster.
    run : Run
        The contender (a key of DISTRIBUTED) and size; gets the time, the processor time
        and the peaks, or a failing status.
    chunks : tuple of int
        The input's chunk sizes (`chunk_sizes`).
    spilled : bool
        Whether the workers are memory-limited: then they make the input inside the sort's
        graph, and the check, merged chunk by chunk, is timed with the sort.
    directory : str or None
        Where the limited workers spill, whose size is sampled.

    Notes
    -----
    A contender that raises is reported on standard error and in `run.status`, never
    fatal; an interrupt or an exit still stops the run.
    """
    from distributed import wait

    pids = list(client.run(os.getpid).values())
    x = input_array(chunks)
    if not spilled:  # the input waits on the workers; beyond memory, they make it as they go
        x = x.persist()
        wait(x)
    _, expected = distributed_fingerprint(x)
    try:
        with PeakMemory(pids, directory if spilled else None) as memory:
            started = time.perf_counter()
            result = DISTRIBUTED[run.contender](x)
            if spilled:  # the check merges chunk by chunk: no worker holds the result
                check = distributed_fingerprint(result)
            else:
                result = result.persist()
                wait(result)
            seconds = time.perf_counter() - started
        run.record(seconds, memory)
        if not spilled:
            check = distributed_fingerprint(result)
        if check != (True, expected):
            run.status = status.WRONG
    except BaseException as error:  # a contender that fails is reported, not fatal
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        # The type says enough in a table cell (KilledWorker: out of memory, mostly; a
        # fault inside vexo is a PanicException, which is not an Exception).
        run.status = status.error(type(error).__name__)
        print(
            f"{run.contender} on {run.size} elements: {type(error).__name__}: {error}",
            file=sys.stderr,
        )


def time_local(run: Run, chunks: tuple[int, ...]) -> None:
    """Times one more repetition of numpy.sort of the whole input in this process, into
    `run`, and checks the result."""
    values = local_input(chunks)
    _, expected = combined([fingerprint(values)])
    with PeakMemory([os.getpid()]) as memory:
        started = time.perf_counter()
        values.sort()
        seconds = time.perf_counter() - started
    run.record(seconds, memory)
    if combined([fingerprint(values)]) != (True, expected):
        run.status = status.WRONG


def fits_locally(size: int) -> bool:
    import psutil

    return LOCAL_COPIES * size * 8 < psutil.virtual_memory().available


def measure_size(
    client,
    size: int,
    contenders: Sequence[str],
    settings: Settings,
    progress: Progress,
    spilled: bool,
) -> list[Run]:
    """Every contender at `size` elements, in turn, repetition after repetition.

    Parameters
    ----------
    client : distributed.Client
        A client of the cluster `start_cluster` started.
    size : int
        The elements of each input.
    contenders : sequence of str
        Names out of CONTENDERS, in the order they take turns.
    settings : Settings
        The chunking and the repetitions.
    progress : Progress
        Told of every repetition of every contender.
    spilled : bool
        Whether the cluster's workers are memory-limited: then every contender runs once,
        and those that gather the whole array in one process are skipped.

    Returns
    -------
    list of Run
        One per contender, in the order of `contenders`.
    """
    chunks = chunk_sizes(size, settings.chunk_size, settings.workers)
    label = report.format_size(size)
    runs = [Run(name, size) for name in contenders]
    for run in runs:
        if run.contender in GATHERING and (
            spilled or (run.contender == LOCAL and not fits_locally(size))
        ):
            run.status = status.SKIPPED_TOO_LARGE
        elif run.contender == DATAFRAME and not dataframe_available():
            run.status = status.NEEDS_PANDAS
    for repetition in range(repetitions(settings, spilled)):
        for run in runs:
            step = f"{label}: {run.contender} ({repetition + 1})"
            progress.describe(step)
            if run.status != status.OK:
                pass  # skipped, or failed once: not run again
            elif run.contender == LOCAL:
                time_local(run, chunks)
            else:
                time_distributed(client, run, chunks, spilled, settings.spill_directory)
            progress.advance(step)
    return runs


def repetitions(settings: Settings, spilled: bool) -> int:
    """How often each contender runs at one size: once beyond memory."""
    return 1 if spilled else settings.repeat


def steps(settings: Settings, plans: Sequence[Plan], contenders: Sequence[str]) -> int:
    """The progress steps `run_plans` counts: one per contender and repetition."""
    return sum(repetitions(settings, plan.spilled) for plan in plans) * len(contenders)


def run_plans(
    settings: Settings, plans: Sequence[Plan], contenders: Sequence[str], progress: Progress
) -> list[Run]:
    """Every plan measured, on one cluster per memory limit, started and closed here.

    Parameters
    ----------
    settings : Settings
        How the clusters are set up and each size is measured.
    plans : sequence of Plan
        The sizes and their workers' memory limits; the clusters start in the order of
        their limits' first plans.
    contenders : sequence of str
        Names out of CONTENDERS.
    progress : Progress
        Told of each cluster's start and of every step `steps` counts.

    Returns
    -------
    list of Run
        One per contender and plan, cluster by cluster.
    """
    runs: list[Run] = []
    for limit in dict.fromkeys(plan.memory_limit for plan in plans):
        progress.describe(f"starting {settings.workers} workers (memory limit: {limit or 'auto'})")
        cluster, client = start_cluster(settings, limit)
        try:
            with client:
                client.run(warm_up)
                for plan in (plan for plan in plans if plan.memory_limit == limit):
                    runs.extend(
                        measure_size(
                            client, plan.size, contenders, settings, progress, plan.spilled
                        )
                    )
        finally:
            close_cluster(cluster)
    return runs


def close_cluster(cluster) -> None:
    """Closes `cluster`. A worker slow to exit (after spilling tens of gigabytes, it has
    as much to delete) is reported, and does not lose the measurements made."""
    try:
        cluster.close()
    except TimeoutError as error:
        warnings.warn(f"the cluster did not close in time ({error!r})", stacklevel=2)
