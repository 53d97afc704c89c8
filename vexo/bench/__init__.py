"""vexo's benchmark lab: every function of the module against NumPy's sorts.

Run it as `python -m vexo.bench` (`--help` for the options). Each measurement sorts fresh
copies of one named input pattern (vexo.patterns) of one size, checks every result
against numpy.sort, and reports the median ns per element, the spread of the calls and
the ratio to numpy.sort on the same data, as tables, optionally JSON and a plot.
"""

from .catalog import BASELINE, Contender, available
from .cli import main
from .measure import Measurement, run_suite

__all__ = ["BASELINE", "Contender", "Measurement", "available", "main", "run_suite"]
