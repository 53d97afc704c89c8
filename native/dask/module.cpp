// vexo._dask_native: the native steps of vexo.dask.sort, private to the package.
//
// merge_sorted(pieces, out) merges sorted int64 pieces into `out` with the interpreter
// lock released, so that a worker's communication goes on while it merges (vexo._vexo's
// sorts hold the lock). Arrays come in through the buffer protocol: the caller, in Python,
// allocates the output with NumPy, so no NumPy header is needed here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

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

// One scratch array per thread, kept from call to call and grown to the largest merge:
// memory a process has freed costs a virtual machine's host page faults to touch again.
struct Scratch {
    std::unique_ptr<std::int64_t[]> data;
    std::size_t capacity = 0;
};

std::int64_t* scratch_of(std::size_t elements) {
    thread_local Scratch scratch;
    if (scratch.capacity < elements) {
        scratch.data.reset();
        scratch.capacity = 0;
        scratch.data.reset(new (std::nothrow) std::int64_t[elements]);
        if (!scratch.data) return nullptr;
        scratch.capacity = elements;
    }
    return scratch.data.get();
}

PyObject* merge_sorted(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "merge_sorted(pieces, out) takes two arguments");
        return nullptr;
    }
    PyObject* sequence = PySequence_Fast(args[0], "argument 'pieces': not a sequence");
    if (sequence == nullptr) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    std::vector<HeldBuffer> pieces(static_cast<std::size_t>(count));
    HeldBuffer out;
    std::vector<SortedRun> runs;
    runs.reserve(pieces.size());
    std::size_t total = 0;
    bool failed = out.acquire(args[1], true, "argument 'out'") != 0;
    for (Py_ssize_t i = 0; !failed && i < count; ++i) {
        HeldBuffer& piece = pieces[static_cast<std::size_t>(i)];
        failed = piece.acquire(PySequence_Fast_GET_ITEM(sequence, i), false, "argument 'pieces'") != 0;
        if (failed) break;
        if (piece.size() != 0 && overlap(piece.data(), piece.size(), out.data(), out.size())) {
            PyErr_SetString(PyExc_ValueError, "argument 'out' overlaps a piece");
            failed = true;
            break;
        }
        runs.push_back({piece.data(), piece.size()});
        total += piece.size();
    }
    if (!failed && total != out.size()) {
        PyErr_Format(PyExc_ValueError, "argument 'out': %zu elements for pieces of %zu", out.size(), total);
        failed = true;
    }
    std::size_t filled = 0;
    for (const SortedRun& run : runs) filled += run.size != 0 ? 1 : 0;
    std::int64_t* scratch = nullptr;
    if (!failed && filled > 2) {
        scratch = scratch_of(total);
        if (scratch == nullptr) {
            PyErr_NoMemory();
            failed = true;
        }
    }
    if (!failed) {
        Py_BEGIN_ALLOW_THREADS;
        vexo::dask_native::merge_sorted_runs(runs, out.data(), scratch);
        Py_END_ALLOW_THREADS;
    }
    pieces.clear();
    Py_DECREF(sequence);
    if (failed) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"merge_sorted", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_sorted)), METH_FASTCALL,
     "merge_sorted(pieces, out)\n--\n\nMerges the sorted int64 arrays `pieces` into `out`, whose length is "
     "their total, with the interpreter lock released."},
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
