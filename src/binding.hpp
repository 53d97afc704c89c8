// Binding of the one argument `arr` to a Sort target: argument parsing, NumPy's C-API
// table, the array checks and the body that every module function shares. This is the
// only code of the module that touches NumPy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boundary.hpp"
#include "core/sort_target.hpp"

namespace vexo {

// What a module function is: its name (for messages), the routine it runs on the whole
// target, and the source unit its faults name.
struct ModuleFunction {
    const char* name;
    SortRoutine sort;
    FaultLocation unit;

    ModuleFunction(const char* function_name, SortRoutine routine, std::source_location where = std::source_location::current()) noexcept
        : name(function_name), sort(routine), unit(where) {}
};

// The elements of an array as NumPy lays them out, before the contiguity test.
struct ElementView {
    std::int64_t* data;
    std::size_t length;
    std::ptrdiff_t byte_stride;
    bool writeable;
};

// The object passed as `arr`, or the TypeError of a call that does not fit `f(arr)`.
Result<PyObject*> bind_arguments(const char* function_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// NumPy's C-API table, imported on first use; faults if it cannot be had.
void** numpy_api();

// The object itself if it is a 1-D ndarray of an int64-equivalent dtype and not a masked
// array, else a TypeError prefixed with "argument 'arr': ".
Result<PyObject*> extract_int64_vector(PyObject* object);

ElementView element_view(PyObject* array) noexcept;

// The Sort target of a view whose elements lie 8 bytes apart, aligned and writeable. A
// view that is not contiguous faults (located at `unit`); a read-only array is a ValueError.
Result<SortTarget> sort_target_of(const ElementView& view, const FaultLocation& unit);

// The shared body: bind, check, sort, return None.
Result<Ref> module_function_body(const ModuleFunction& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The fast-call entry point of a module function.
inline PyObject* enter_module_function(const ModuleFunction& function, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return call_boundary([&] { return module_function_body(function, args, nargs, kwnames); });
}

}  // namespace vexo
