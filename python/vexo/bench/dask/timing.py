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
the command line (`settings`); the clusters are started and closed by `cluster`, and
each result is checked by `check`.
"""

import itertools
import math
import os
import statistics
import sys
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np

from vexo import patterns

from .. import report, status
from ..console import Progress
from .check import combined, distributed_fingerprint, fingerprint
from .cluster import (
    close_cluster,
    dataframe_available,
    quiet_legacy_dataframe,
    start_cluster,
    warm_up,
)
from .settings import Plan, Settings

VEXO = "vexo.dask.sort"
RECHUNK = "rechunk+numpy.sort"  # (a)
DATAFRAME = "dataframe.sort_values"  # (b)
LOCAL = "numpy.sort"  # (c), in this process
CONTENDERS = (VEXO, RECHUNK, DATAFRAME, LOCAL)
GATHERING = {RECHUNK, LOCAL}  # hold the whole array in one process

MIN_CHUNKS_PER_WORKER = 4  # smaller sizes still give every worker several chunks
SAMPLE_INTERVAL = 0.1  # seconds between two readings of the workers' memory
DISK_SAMPLE_INTERVAL = 1.0  # seconds between two walks of the spill directory
# numpy.sort in this process runs only when this many copies of the array fit in the
# memory available: the array, its sorted copy and room for everything else.
LOCAL_COPIES = 3
SEED = 1


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


def _dataframe_sort(x):
    quiet_legacy_dataframe()
    import dask.dataframe as dd

    return dd.from_dask_array(x, columns="v").to_frame().sort_values("v")


DISTRIBUTED: dict[str, Callable] = {
    VEXO: _vexo_sort,
    RECHUNK: _rechunk_sort,
    DATAFRAME: _dataframe_sort,
}


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
