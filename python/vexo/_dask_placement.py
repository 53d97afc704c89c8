"""Where vexo.dask.sort's merges run and how its pieces are cut, on a distributed cluster.

The graph module asks `exchange_plan` once the cut points are known; any scheduler other
than a distributed client's holds everything in one process and gets the empty plan.
"""

from collections.abc import Callable
from dataclasses import dataclass

import dask
import dask.array as da
import numpy as np

# The share of the workers' memory (their limits, together) beyond which the sorted chunks
# are taken to spill. Dask starts spilling a worker's data at 60% of its limit; the rest
# of a worker's memory goes to the tasks running, the transfers and the interpreter.
OUT_OF_CORE_SHARE = 0.5


@dataclass(frozen=True)
class ExchangePlan:
    """How the pieces are cut (copies or views) and the annotations of the layers."""

    own_pieces: bool = False  # copies rather than views
    ordered_cuts: bool = False  # every worker cuts its runs one after the other
    merge_annotations: dict | None = None

    def cut_annotations(self, pieces: int) -> dict | None:
        """The annotations of a layer of `pieces` cut tasks, (name, k) in the order of
        the runs they cut."""
        return {"priority": chunk_by_chunk(pieces)} if self.ordered_cuts else None


def exchange_plan(sorted_chunks: da.Array, cuts: np.ndarray | None) -> ExchangePlan:
    """The plan for cutting the persisted `sorted_chunks` at `cuts` (cuts[i, j]: where
    piece j of chunk i begins; None where the exchange is staged and only the sizes are
    known, which leaves the merges' placement to the scheduler).

    Each merge goes to a worker that already holds many of its elements, every worker
    taking its share of the partitions. Left to itself, the scheduler puts a merge where
    most of its pieces lie, so a worker that holds a few more sorted chunks gets nearly
    every merge while the others wait (14 of 20 on one of two workers, measured at 10^8
    elements). Choosing by what each worker holds keeps ordered input where it is: chunk
    i of a nearly sorted array is mostly partition i, and is not sent anywhere. The hint
    lets another worker take a merge when the named one is busy.

    Every worker cuts its chunks first, one chunk after the other, all pieces of each in
    a row (a priority above the merges', falling with the chunk's index). Left to Dask's
    order, a worker cuts the pieces of a partition just before its merge, so the pieces
    the other worker needs for its last merges wait behind this one's merges (measured:
    the last merge of 10^8 elements started 0.3 s after every other had ended). And when
    the sorted chunks take more than OUT_OF_CORE_SHARE of the workers' memory, they spill,
    and Dask reads a spilled chunk back whole for every task that uses it: cut piece by
    piece in partition order, every chunk would be read once per output chunk. There the
    pieces are copies, which spill on their own.
    """
    client = distributed_client()
    if client is None:
        return ExchangePlan()
    info = all_workers(client)
    memory = sum(worker.get("memory_limit") or 0 for worker in info.values())
    elements = sum(sorted_chunks.chunks[0])
    spilling = bool(memory) and elements * sorted_chunks.dtype.itemsize > OUT_OF_CORE_SHARE * memory
    merge_annotations = None
    if cuts is not None:
        chunk_keys = sorted_chunks.__dask_keys__()
        homes = merge_homes(sorted(info), client.who_has(sorted_chunks), chunk_keys, cuts)
        merge_annotations = {"workers": lambda key: [homes[key[1]]], "allow_other_workers": True}
    return ExchangePlan(own_pieces=spilling, ordered_cuts=True, merge_annotations=merge_annotations)


def all_workers(client) -> dict:
    """Every worker's entry of the scheduler's information: distributed releases of 2025
    and 2026 list only the first five unless asked for all (n_workers=-1), which older
    releases do not know, listing all anyway."""
    try:
        return client.scheduler_info(n_workers=-1)["workers"]
    except TypeError:
        return client.scheduler_info()["workers"]


def chunk_by_chunk(pieces: int) -> Callable[[tuple], int]:
    """The priority of cut task (name, k), the k-th of `pieces` non-empty pieces in the
    order of the chunks: above every merge's (0), and falling with k, so that a worker
    cuts all pieces of one chunk before the next."""
    return lambda key: 1 + pieces - key[1]


def merge_homes(workers: list[str], where: dict, chunk_keys: list, cuts: np.ndarray) -> list[str]:
    """The worker of every partition, from who holds each sorted chunk (`where`, as
    Client.who_has gives it)."""
    held = np.zeros((len(workers), cuts.shape[1] - 1), np.int64)
    index = {address: w for w, address in enumerate(workers)}
    for key, chunk_cuts in zip(chunk_keys, cuts, strict=True):
        holders = [index[address] for address in where.get(key, ()) if address in index]
        if holders:
            held[holders[0]] += np.diff(chunk_cuts)
    return [workers[w] for w in balanced_homes(held)]


def balanced_homes(held: np.ndarray) -> list[int]:
    """A worker for every partition, given held[w, j], the elements of partition j that
    worker w holds: the largest holdings first, while the worker has fewer than its share
    of the partitions (the partitions are of equal size within 1.25 times)."""
    workers, parts = held.shape
    share = -(-parts // workers)
    homes = [-1] * parts
    taken = [0] * workers
    # Largest holding first; on ties partition by partition, and the workers in turn.
    for _, j, _, w in sorted(
        (-int(held[w, j]), j, (w - j) % workers, w) for w in range(workers) for j in range(parts)
    ):
        if homes[j] < 0 and taken[w] < share:
            homes[j], taken[w] = w, taken[w] + 1
    return homes


def distributed_client():
    """The distributed client that computes dask collections here and now, if any."""
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        client = default_client()
    except ValueError:  # no client
        return None
    return client if dask.base.get_scheduler() == client.get else None
