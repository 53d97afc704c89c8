"""The Dask bench's LocalCluster: started with each worker's share of vexo's pool and,
if asked, the allocator settings that keep freed memory; warmed up before the first
timed run; closed without losing the measurements made. Also what every process of it
imports for the dataframe contender, which needs pandas."""

import logging
import warnings

import numpy as np

from .. import machine
from .settings import Settings

# glibc gives a freed block of more than 32 MB straight back to the system, so the next
# one is fresh memory again, which a virtual machine may charge dearly for (see the
# README): with these, a worker keeps what it frees and allocates from it again.
RETAIN_FREED_MEMORY = {"MALLOC_MMAP_MAX_": "0", "MALLOC_TRIM_THRESHOLD_": str(2**62)}


def quiet_legacy_dataframe() -> None:
    """Debian's Dask comes without dask-expr, and its legacy dataframe warns of that in
    every process that imports it."""
    warnings.filterwarnings(
        "ignore", message="Dask dataframe query planning is disabled", category=FutureWarning
    )


def dataframe_available() -> bool:
    """dask.dataframe needs pandas, which `pip install "vexo-sort[dask]"` does not bring."""
    return machine.installed("pandas")


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


def close_cluster(cluster) -> None:
    """Closes `cluster`. A worker slow to exit (after spilling tens of gigabytes, it has
    as much to delete) is reported, and does not lose the measurements made."""
    try:
        cluster.close()
    except TimeoutError as error:
        warnings.warn(f"the cluster did not close in time ({error!r})", stacklevel=2)
