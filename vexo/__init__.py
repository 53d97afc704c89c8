"""vexo: in-place sorting of one-dimensional NumPy int64 arrays.

Every function takes one contiguous, writeable 1-D array of an int64-equivalent dtype,
sorts it ascending in place and returns None.
"""

from ._vexo import *  # noqa: F403
from ._vexo import __all__  # noqa: F401
