"""Binding of `arr`: every refused argument, with its exact exception and message, and the
arrays that are accepted."""

import re

import numpy as np
import pytest
from conftest import run_python
from test_faults import NOT_CONTIGUOUS, provoke


def base_array():
    return np.array([9, 4, 7, 1, 8, 2], dtype=np.int64)


def as_strided(byte_stride):
    """Three int64 elements `byte_stride` bytes apart in a writeable buffer."""
    buffer = np.arange(64, dtype=np.uint8)
    return np.lib.stride_tricks.as_strided(
        buffer[:8].view(np.int64), shape=(3,), strides=(byte_stride,)
    )


def misaligned():
    raw = np.arange(6 * 8 + 1, dtype=np.uint8)
    return np.frombuffer(raw.data, dtype=np.int64, count=6, offset=1)


def read_only():
    a = base_array()
    a.setflags(write=False)
    return a


def column():
    return np.arange(12, dtype=np.int64).reshape(4, 3)[:, 1]


CONVERT = "argument 'arr': '{}' object cannot be converted to 'PyArray<T, D>'"
DIMENSIONS = "argument 'arr': dimensionality mismatch:\n from={}, to=1"
READ_ONLY = "argument 'arr': array is read-only"
# description: (argument maker, exception type name, message)
REFUSED = {
    "list": (lambda: [3, 1, 2], "TypeError", CONVERT.format("list")),
    "tuple": (lambda: (3, 1), "TypeError", CONVERT.format("tuple")),
    "None": (lambda: None, "TypeError", CONVERT.format("NoneType")),
    "memoryview": (lambda: memoryview(base_array()), "TypeError", CONVERT.format("memoryview")),
    "scalar": (lambda: np.int64(3), "TypeError", CONVERT.format("int64")),
    "0-d": (lambda: np.array(5, dtype=np.int64), "TypeError", DIMENSIONS.format(0)),
    "2-D": (lambda: np.zeros((2, 2), dtype=np.int64), "TypeError", DIMENSIONS.format(2)),
    "3-D": (lambda: np.zeros((2, 2, 2), dtype=np.int64), "TypeError", DIMENSIONS.format(3)),
    "every other": (lambda: base_array()[::2], "PanicException", NOT_CONTIGUOUS),
    "reversed": (lambda: base_array()[::-1], "PanicException", NOT_CONTIGUOUS),
    "column": (column, "PanicException", NOT_CONTIGUOUS),
    "broadcast": (lambda: np.broadcast_to(np.int64(7), (4,)), "PanicException", NOT_CONTIGUOUS),
    "9-byte stride": (lambda: as_strided(9), "PanicException", NOT_CONTIGUOUS),
    "misaligned": (misaligned, "PanicException", NOT_CONTIGUOUS),
    "read-only": (read_only, "ValueError", READ_ONLY),
    "read-only single": (
        lambda: np.frombuffer(b"\x01" * 8, dtype=np.int64),
        "ValueError",
        READ_ONLY,
    ),
}
# Every other dtype, byte-swapped int64 included, is a type mismatch naming it.
OTHER_DTYPES = "float64 int32 uint64 >i8 int8 int16 uint8 uint16 uint32 float16 float32 complex128"
for dtype in [*OTHER_DTYPES.split(), "bool", "datetime64[s]", "object"]:
    REFUSED[dtype] = (
        lambda dtype=dtype: base_array().astype(dtype),
        "TypeError",
        f"argument 'arr': type mismatch:\n from={dtype}, to=int64",
    )


@pytest.mark.parametrize("description", REFUSED)
def test_refused_array_keeps_its_bytes(sort_function, description, capfd):
    make, kind, message = REFUSED[description]
    arg = make()
    before = np.array(arg, copy=True) if isinstance(arg, np.ndarray) else None
    expected_type = {
        "PanicException": type(provoke()),
        "TypeError": TypeError,
        "ValueError": ValueError,
    }[kind]
    capfd.readouterr()
    with pytest.raises(expected_type) as info:
        sort_function(arg)
    assert type(info.value) is expected_type
    assert str(info.value) == message
    # Only internal faults are reported on stderr; refused arguments write nothing there.
    assert (capfd.readouterr().err == "") == (kind != "PanicException")
    if before is not None:
        assert np.array_equal(arg, before) and arg.tobytes() == before.tobytes()


# id: (call of the function f with an array a, message with {} for the function's name)
BAD_CALLS = {
    "missing": (lambda f, a: f(), "{}() missing 1 required positional argument: 'arr'"),
    "two positional": (lambda f, a: f(a, a), "{}() takes 1 positional arguments but 2 were given"),
    "extra positional first": (
        lambda f, a: f(a, a, a, x=1),
        "{}() takes 1 positional arguments but 3 were given",
    ),
    "duplicate": (lambda f, a: f(a, arr=a), "{}() got multiple values for argument 'arr'"),
    "unknown keyword": (lambda f, a: f(x=a), "{}() got an unexpected keyword argument 'x'"),
    "unknown after arr": (
        lambda f, a: f(arr=a, x=a),
        "{}() got an unexpected keyword argument 'x'",
    ),
}


@pytest.mark.parametrize("case", BAD_CALLS)
def test_argument_binding_errors(sort_name, sort_function, case, capfd):
    call, message = BAD_CALLS[case]
    a = base_array()
    with pytest.raises(TypeError) as info:
        call(sort_function, a)
    assert type(info.value) is TypeError
    assert str(info.value) == message.format(sort_name)
    assert a.tolist() == [9, 4, 7, 1, 8, 2]
    assert capfd.readouterr().err == ""


ACCEPTED = {
    "empty": lambda: np.array([], dtype=np.int64),
    "single": lambda: np.array([5], dtype=np.int64),
    "reversed single": lambda: np.arange(10, dtype=np.int64)[::-1][:1],
    "strided single": lambda: np.arange(10, dtype=np.int64)[::3][:1],
    "strided empty": lambda: np.arange(10, dtype=np.int64)[::2][:0],
    "longlong": lambda: np.array([3, 1, 2], dtype=np.longlong),
    "little-endian": lambda: np.array([3, 1, 2], dtype="<i8"),
}


@pytest.mark.parametrize("case", ACCEPTED)
def test_accepted_arrays(sort_function, case):
    a = ACCEPTED[case]()
    expected = np.sort(a)
    assert sort_function(a) is None
    assert a.tolist() == expected.tolist()


def test_ndarray_subclass_memmap_is_sorted_in_place(tmp_path, sort_function):
    path = tmp_path / "values.bin"
    np.array([4, -2, 9, 0], dtype=np.int64).tofile(path)
    mapped = np.memmap(path, dtype=np.int64, mode="r+")
    sort_function(mapped)
    mapped.flush()
    assert np.fromfile(path, dtype=np.int64).tolist() == [-2, 0, 4, 9]
    read_only_map = np.memmap(path, dtype=np.int64, mode="r")
    with pytest.raises(ValueError, match="array is read-only"):
        sort_function(read_only_map)


MASKED = (
    "argument 'arr': a masked array cannot be sorted: its data would move and its mask "
    "would not, hiding valid values and showing masked ones"
)


class MaskedSub(np.ma.MaskedArray):
    pass


class Sub(np.ndarray):
    pass


# Refused before the dimension and dtype checks, whatever else is wrong with the array.
MASKED_CASES = {
    "one masked": lambda: np.ma.masked_equal(base_array(), 9),
    "no mask": lambda: np.ma.array(base_array()),
    "subclass": lambda: np.ma.masked_equal(base_array(), 9).view(MaskedSub),
    "2-D": lambda: np.ma.masked_equal(base_array().reshape(2, 3), 9),
    "float64": lambda: np.ma.masked_equal(base_array().astype(np.float64), 9),
}


@pytest.mark.parametrize("case", MASKED_CASES)
def test_masked_array_is_refused_with_data_and_mask_untouched(sort_function, case):
    masked = MASKED_CASES[case]()
    data, mask = masked.data.copy(), np.ma.getmaskarray(masked).copy()
    with pytest.raises(TypeError) as info:
        sort_function(masked)
    assert type(info.value) is TypeError
    assert str(info.value) == MASKED
    assert np.array_equal(masked.data, data)
    assert np.array_equal(np.ma.getmaskarray(masked), mask)


def test_other_ndarray_subclass_is_sorted_in_place(sort_function):
    a = base_array().view(Sub)
    assert sort_function(a) is None
    assert type(a) is Sub and a.tolist() == [1, 2, 4, 7, 8, 9]


def test_masked_check_never_imports_numpy_ma():
    # NumPy loads numpy.ma only when asked; the check looks for it and leaves it unloaded.
    result = run_python(
        """
        import sys
        import numpy as np
        import vexo._vexo as m
        class Sub(np.ndarray):
            pass
        a = np.array([3, 1, 2]).view(Sub)
        m.heap(a)
        print(a.tolist() == [1, 2, 3], "numpy.ma" in sys.modules)
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "False"]


CAPSULE_HEAD = "Failed to access NumPy array API capsule: PyErr { type: <class '"
REPLACE_CAPSULE = """
import ctypes
import numpy.core.multiarray as multiarray
ctypes.pythonapi.PyCapsule_New.restype = ctypes.py_object
capsule = {}
if type(capsule).__name__ == "PyCapsule":
    ctypes.c_void_p.from_address(id(capsule) + 2 * ctypes.sizeof(ctypes.c_void_p)).value = None
multiarray._ARRAY_API = capsule
"""


def described(kind: str, text: str) -> str:
    """The pattern of a fault quoting the Python error `kind`(`text`)."""
    return re.escape(f"{CAPSULE_HEAD}{kind}'>, value: {kind}({text!r}), traceback: None }}")


# What stands in for NumPy's _ARRAY_API, and the description the fault must give.
CAPSULE_CASES = {
    # Without NumPy even a list gets the fault, not a TypeError.
    "no numpy": (
        'import sys; sys.modules["numpy"] = None',
        # (its message, whatever it says, in place of the empty one)
        described("ModuleNotFoundError", "").replace(r"''\)", ".*\\)"),
    ),
    "object": (
        REPLACE_CAPSULE.format("object()"),
        described("TypeError", "'object' object cannot be converted to 'PyCapsule'"),
    ),
    "None": (
        REPLACE_CAPSULE.format("None"),
        described("TypeError", "'NoneType' object cannot be converted to 'PyCapsule'"),
    ),
    # A capsule whose pointer field was cleared behind the API's back: its pointer cannot
    # be read, which must count as no capsule rather than as an empty table.
    "unreadable": (
        REPLACE_CAPSULE.format("ctypes.pythonapi.PyCapsule_New(ctypes.c_void_p(1), None, None)"),
        described("ValueError", "PyCapsule_GetPointer called with invalid PyCapsule object"),
    ),
}


@pytest.mark.parametrize("case", CAPSULE_CASES)
def test_unusable_array_api_is_a_fault_and_retried(case):
    setup, expected = CAPSULE_CASES[case]
    result = run_python(
        setup
        + """
import vexo._vexo as m
for _ in range(2):  # the table is not stored: the second call tries again
    try:
        m.bubble([3, 1, 2])
    except BaseException as exc:
        print(type(exc).__module__, type(exc).__name__, "|", str(exc))
"""
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 2
    for line in lines:
        kind, message = line.split(" | ")
        assert kind == "pyo3_runtime PanicException"
        assert re.fullmatch(expected, message), message
