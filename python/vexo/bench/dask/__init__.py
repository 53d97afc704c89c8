"""vexo's Dask bench: vexo.dask.sort against Dask's other sorts on a LocalCluster.

Run it as `python -m vexo.bench.dask` (`--help` for the options). `cli` turns the
options into `settings`; `timing` times every contender on the clusters that `cluster`
starts and closes, and `check` checks each result on the workers; `report` prints the
table.
"""

from .cli import main

__all__ = ["main"]
