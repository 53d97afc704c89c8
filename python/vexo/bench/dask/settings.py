"""What the Dask bench is asked to do: how its clusters are set up, how each size is
measured (`Settings`), and the sizes with their workers' memory limits (`Plan`s). The
command line makes them; `cluster` and `timing` take them."""

from dataclasses import dataclass

DEFAULT_WORKERS = 2
DEFAULT_REPEAT = 3  # of each contender at each size; the beyond-memory run runs once
# Elements per chunk: 1.25e7 (100 MB). Each output chunk merges one sorted run per input
# chunk, so fewer, larger chunks make shorter merges: at 10^8 elements on 2 workers, 8
# chunks took 8.3 s of worker processor time where 20 chunks of 5e6 took 9.8 s.
DEFAULT_CHUNK_SIZE = 12_500_000


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
