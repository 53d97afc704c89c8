// The entry points of the module functions, in table order. Each is defined in the source
// unit of its algorithm with VEXO_MODULE_FUNCTION.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vexo {

#define VEXO_ENTRY_POINT(name) PyObject* name##_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept

// Defines the entry point `name_entry`, which runs `routine` on the bound array. The fault
// location it records is this line, in the algorithm's own unit.
#define VEXO_MODULE_FUNCTION(name, routine)                                   \
    VEXO_ENTRY_POINT(name) {                                                  \
        static const ::vexo::ModuleFunction function{#name, routine};         \
        return ::vexo::enter_module_function(function, args, nargs, kwnames); \
    }

VEXO_ENTRY_POINT(bubble);
VEXO_ENTRY_POINT(insertion);
VEXO_ENTRY_POINT(merge);
VEXO_ENTRY_POINT(quick);
VEXO_ENTRY_POINT(heap);
VEXO_ENTRY_POINT(intro);
VEXO_ENTRY_POINT(tim);
VEXO_ENTRY_POINT(pdq);
VEXO_ENTRY_POINT(radix);
VEXO_ENTRY_POINT(smart);
VEXO_ENTRY_POINT(par_sort);
VEXO_ENTRY_POINT(par_sort_unstable);
VEXO_ENTRY_POINT(par_merge);

}  // namespace vexo
