"""vexo's benchmark lab: every function of the module against NumPy's sorts.

Run it as `python -m vexo.bench` (`--help` for the options). Each measurement sorts fresh
copies of one named input pattern (vexo.patterns) of one size, checks every result
against numpy.sort, and reports the median ns per element, the spread of the calls and
the ratio to numpy.sort on the same data, as tables, optionally JSON and a plot.

Two commands share one small library. `catalog` is what can be timed, `measure` times
it, `status` names how each measurement went, `report` and `markdown` print the tables,
`plot` draws them, `machine` describes what ran them, `options` parses the command lines
and `console` shows the progress. `cli` is `python -m vexo.bench`; the `dask` subpackage
is `python -m vexo.bench.dask`, vexo.dask.sort against Dask's other sorts.
"""

from .catalog import BASELINE, Contender, available
from .cli import main
from .measure import Measurement, run_suite

__all__ = ["BASELINE", "Contender", "Measurement", "available", "main", "run_suite"]
