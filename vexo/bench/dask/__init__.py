"""vexo's Dask bench: vexo.dask.sort against Dask's other sorts on a LocalCluster.

Run it as `python -m vexo.bench.dask` (`--help` for the options). `timing` sets up the
clusters and times every contender, `report` prints the table, and `cli` turns the
options into both.
"""

from .cli import main

__all__ = ["main"]
