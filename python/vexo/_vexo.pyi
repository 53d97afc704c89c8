"""vexo's compiled sorts: thirteen in-place sorts of one-dimensional int64 arrays.

Every function takes one argument, `arr`: a writeable, contiguous one-dimensional NumPy
array of a dtype equivalent to int64. It sorts `arr` ascending in the caller's memory,
compares values as signed 64-bit integers, returns None, and holds the interpreter lock
from start to end (the parallel sorts included).

Every function refuses the same arguments, leaving the array untouched: TypeError for
anything but a NumPy array, for a masked array (numpy.ma: its data would move under a
mask that stays put), and for an array not one-dimensional or of another dtype;
ValueError for a read-only array. A non-contiguous view raises
pyo3_runtime.PanicException, which derives from BaseException, not Exception.
docs/algorithms.md gives each sort's thresholds, memory and worst case.
"""

import numpy as np
import numpy.typing as npt

# Frozen: see docs/compatibility.md.
__all__ = [
    "bubble",
    "insertion",
    "merge",
    "quick",
    "heap",
    "intro",
    "tim",
    "pdq",
    "radix",
    "smart",
    "par_sort",
    "par_sort_unstable",
    "par_merge",
]

def bubble(arr: npt.NDArray[np.int64]) -> None:
    """Bubble sort: stable, quadratic, a single pass on sorted input.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place by exchanging adjacent pairs, each pass one pair shorter, until a
        pass makes no exchange. No scratch memory. For studying the algorithm only.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def insertion(arr: npt.NDArray[np.int64]) -> None:
    """Insertion sort: stable, quadratic, fast on a few dozen or nearly sorted elements.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place by shifting the larger elements one place right for each key. No
        scratch memory; n - 1 comparisons on ascending input, n(n - 1)/2 shifts on
        descending input.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def merge(arr: npt.NDArray[np.int64]) -> None:
    """Top-down merge sort: stable, n log n on every input, n elements of scratch.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place by halving every range and merging through one buffer of n elements,
        allocated per call. The work is the same whatever the input.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def quick(arr: npt.NDArray[np.int64]) -> None:
    """Textbook quicksort on the last element: quadratic on sorted or all-equal input.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place by Lomuto partitions, without pivot sampling or a depth limit; only
        the smaller side recurses, so the stack stays below log2 n frames. No scratch memory.
        Not for untrusted data: use `intro` or `pdq`.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def heap(arr: npt.NDArray[np.int64]) -> None:
    """Heap sort: n log n on every input, in place, no recursion.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place through a binary max-heap built bottom-up, its maximum moved to the
        end again and again. No scratch memory; slower than the quicksorts on large arrays,
        with a firmer bound.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def intro(arr: npt.NDArray[np.int64]) -> None:
    """Introsort: quicksort's partitions, insertion sort for short ranges, heap sort as a bound.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place; ranges of up to 16 elements are insertion-sorted, and a depth budget
        of 2 log2 n levels hands what remains to heap sort, so the worst case is n log n. No
        scratch memory.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def tim(arr: npt.NDArray[np.int64]) -> None:
    """Fixed-run timsort: stable, n log n, up to 2n elements of scratch.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place: runs of 16 to 32 elements, chosen by the length alone, are
        insertion-sorted and merged bottom-up. Sorted input is merged all the same, so it is
        not linear there.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def pdq(arr: npt.NDArray[np.int64]) -> None:
    """Pattern-defeating quicksort: the general in-place sort on one thread.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place around median-of-three pivots (a median of three medians from 128
        elements), with fixed sorts below 25 elements; one scan finishes ascending input and
        a reversal non-increasing input, and a budget hands what remains to heap sort. n log n
        worst case, no scratch memory.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def radix(arr: npt.NDArray[np.int64]) -> None:
    """Decimal least-significant-digit radix sort: linear in n times the digits.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place, one pass per decimal digit of the largest magnitude (1 to 19), through
        n elements of scratch, 1.5n to 2n with negative values. For values of few digits.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def smart(arr: npt.NDArray[np.int64]) -> None:
    """Measures the input, then sorts it with insertion, tim, radix, pdq or par_sort_unstable.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sampled at a fixed number of positions for order, repeats and range, so the choice
        costs the same at any size, then sorted in place by the sort chosen, whose scratch
        and stability it has; the worker pool only above 100000 elements.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def par_sort(arr: npt.NDArray[np.int64]) -> None:
    """Parallel stable merge sort on vexo's worker pool, n elements of scratch.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place: chunks of 2000 elements are sorted as parallel tasks from their
        natural runs, then merged in a tree of task pairs; an ascending array is one run and
        costs one scan. The pool is used above 2000 elements.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def par_sort_unstable(arr: npt.NDArray[np.int64]) -> None:
    """Parallel pattern-defeating quicksort on vexo's worker pool, in place.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place, the fastest general choice above 10^5 elements: partitions on vector
        kernels where the CPU has them, both sides as a task pair once a side exceeds 2000
        elements, heap sort as the bound. Ascending and descending input finish in linear
        time. No scratch memory.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """

def par_merge(arr: npt.NDArray[np.int64]) -> None:
    """Recursive parallel merge sort: halves sorted as task pairs, merged through a buffer.

    Parameters
    ----------
    arr : numpy.ndarray of int64
        Sorted in place, stable, with about n elements of scratch: segments of 8192 elements
        or more are halved on the pool, and the merges are sequential, the last covering the
        whole array, so the speed-up levels off. For study: `par_sort` is faster.

    Raises
    ------
    TypeError, ValueError
        For the arguments every function of the module refuses (see its docstring).
    """
