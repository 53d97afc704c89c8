// vexo._dask_native: the native steps of vexo.dask.sort, private to the package.
//
// merge_sorted(pieces, out, scratch=None) merges sorted int64 pieces into `out` with the
// interpreter lock released, so that a worker's communication goes on while it merges
// (vexo._vexo's sorts hold the lock). Arrays come in through the buffer protocol: the
// caller, in Python, allocates the output (and the scratch it keeps between merges) with
// NumPy, so no NumPy header is needed here. Pieces out of order leave some arrangement of
// values in `out`, but the call ends, touching nothing outside the buffers. A scratch not
// handed in comes from vexo's one helper: running out of memory aborts, as in every vexo
// sort.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/scratch.hpp"
#include "sorted_runs_merge.hpp"

namespace {

using vexo::dask_native::SortedRun;

// A buffer held for as long as the call runs, released on every way out.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // 0, or -1 with an exception set: `object` is not a one-dimensional, C-contiguous,
    // aligned buffer of native int64 (writeable, if asked).
    int acquire(PyObject* object, bool writeable, const char* what) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writeable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) != 0) return -1;
        held_ = true;
        if (view_.ndim != 1 || view_.itemsize != sizeof(std::int64_t) || !native_int64(view_.format)) {
            PyErr_Format(PyExc_TypeError, "%s: not a one-dimensional array of native int64", what);
            return -1;
        }
        if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(std::int64_t) != 0) {
            PyErr_Format(PyExc_ValueError, "%s: not aligned to 8 bytes", what);
            return -1;
        }
        return 0;
    }
    std::int64_t* data() const noexcept { return static_cast<std::int64_t*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.shape[0]); }

private:
    // The struct-module codes of a signed 64-bit integer in native order on LP64.
    static bool native_int64(const char* format) noexcept {
        if (format == nullptr) return false;
        if (*format == '@' || *format == '=' || *format == '<') ++format;
        return (format[0] == 'l' || format[0] == 'q') && format[1] == '\0';
    }
    Py_buffer view_{};
    bool held_ = false;
};

bool overlap(const std::int64_t* a, std::size_t n, const std::int64_t* b, std::size_t m) noexcept {
    const std::less<const std::int64_t*> before;
    return before(a, b + m) && before(b, a + n);
}

// The items of `pieces`, each with a reference of its own, in a tuple; nullptr with a
// TypeError when it is not a sequence. A piece's __buffer__ (or the output's) is Python
// code, and may change the list the pieces came in: after `del pieces[1:]` the list's old
// items can be freed objects. What the tuple holds lives as long as the tuple.
PyObject* own_items(PyObject* pieces) {
    PyObject* fast = PySequence_Fast(pieces, "argument 'pieces': not a sequence");
    if (fast == nullptr || PyTuple_Check(fast)) return fast;
    PyObject* items = PyList_AsTuple(fast);  // fast is a list
    Py_DECREF(fast);
    return items;
}

// Whether the merge tree of `runs` passes through a scratch array: more than two of them
// hold elements.
bool needs_scratch(std::span<const SortedRun> runs) noexcept {
    std::size_t filled = 0;
    for (const SortedRun& run : runs) filled += run.size != 0 ? 1 : 0;
    return filled > 2;
}

// Merges `runs` into out[0, total) with the interpreter lock released, through `given`
// (total elements or more) or, where it is null, a scratch of this call's own: freed
// before the lock is taken back, so nothing outlives the call that the caller did not
// allocate.
void merge_without_the_lock(std::span<const SortedRun> runs, std::int64_t* out, std::size_t total, std::int64_t* given) {
    Py_BEGIN_ALLOW_THREADS;
    {
        const vexo::Scratch<std::int64_t> own(given == nullptr && needs_scratch(runs) ? total : 0);
        vexo::dask_native::merge_sorted_runs(runs, out, given != nullptr ? given : own.data());
    }
    Py_END_ALLOW_THREADS;
}

// 0, or -1 with a ValueError: the scratch handed in cannot take the merge's passes.
int check_scratch(const HeldBuffer& scratch, std::span<const SortedRun> runs, const HeldBuffer& out, std::size_t total) {
    if (scratch.size() < total) {
        PyErr_Format(PyExc_ValueError, "argument 'scratch': %zu elements for pieces of %zu", scratch.size(), total);
        return -1;
    }
    bool overlaps = scratch.size() != 0 && overlap(scratch.data(), scratch.size(), out.data(), out.size());
    for (const SortedRun& run : runs) overlaps = overlaps || (run.size != 0 && overlap(scratch.data(), scratch.size(), run.data, run.size));
    if (overlaps) {
        PyErr_SetString(PyExc_ValueError, "argument 'scratch' overlaps a piece or 'out'");
        return -1;
    }
    return 0;
}

// merge_sorted over pieces it holds itself (own_items): 0, or -1 with an exception set.
// Every buffer is held until the merge has ended, and released on every way out.
int merge_items(PyObject* items, PyObject* out_object, PyObject* scratch_object) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items);
    std::vector<HeldBuffer> pieces(static_cast<std::size_t>(count));
    HeldBuffer out;
    if (out.acquire(out_object, true, "argument 'out'") != 0) return -1;
    std::vector<SortedRun> runs;
    runs.reserve(pieces.size());
    std::size_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        HeldBuffer& piece = pieces[static_cast<std::size_t>(i)];
        if (piece.acquire(PySequence_Fast_GET_ITEM(items, i), false, "argument 'pieces'") != 0) return -1;
        if (piece.size() != 0 && overlap(piece.data(), piece.size(), out.data(), out.size())) {
            PyErr_SetString(PyExc_ValueError, "argument 'out' overlaps a piece");
            return -1;
        }
        runs.push_back({piece.data(), piece.size()});
        total += piece.size();
    }
    if (total != out.size()) {
        PyErr_Format(PyExc_ValueError, "argument 'out': %zu elements for pieces of %zu", out.size(), total);
        return -1;
    }
    HeldBuffer scratch;
    const bool given = scratch_object != Py_None;
    if (given && (scratch.acquire(scratch_object, true, "argument 'scratch'") != 0 || check_scratch(scratch, runs, out, total) != 0)) return -1;
    merge_without_the_lock(runs, out.data(), total, given ? scratch.data() : nullptr);
    return 0;
}

PyObject* merge_sorted(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 && nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "merge_sorted(pieces, out, scratch=None) takes two or three arguments");
        return nullptr;
    }
    PyObject* items = own_items(args[0]);
    if (items == nullptr) return nullptr;
    const int merged = merge_items(items, args[1], nargs == 3 ? args[2] : Py_None);
    Py_DECREF(items);
    if (merged != 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"merge_sorted", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_sorted)), METH_FASTCALL,
     "merge_sorted(pieces, out, scratch=None)\n--\n\nMerges the sorted int64 arrays `pieces` into `out`, whose "
     "length is their total, with the interpreter lock released, through `scratch` (at least as long as `out`) "
     "where more than two pieces hold elements, or a scratch array of the call's own where it is None."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_dask_native",
    "The native steps of vexo.dask.sort, private to the package.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__dask_native() { return PyModule_Create(&module); }
