"""vexo: in-place sorting of one-dimensional NumPy int64 arrays.

Every function takes one contiguous, writeable 1-D array of an int64-equivalent dtype,
sorts it ascending in place and returns None.
"""

from importlib import metadata

from ._vexo import *  # noqa: F403
from ._vexo import __all__  # noqa: F401

try:
    # The distribution's name, not the package's: pip installs vexo as vexo-sort.
    # Frozen: see docs/compatibility.md.
    __version__ = metadata.version("vexo-sort")
except metadata.PackageNotFoundError:  # imported from a tree that pip never installed
    __version__ = "unknown"
