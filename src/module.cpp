// The module's face to the interpreter: PyInit__vexo, the module definition, the guards
// around its creation and the function table.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "binding.hpp"
#include "boundary.hpp"
#include "functions.hpp"

namespace vexo {
namespace {

// Frozen: see docs/compatibility.md.
#define VEXO_TABLE_ROW(name)                                                                                                         \
    PyMethodDef{#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(name##_entry)), METH_FASTCALL | METH_KEYWORDS, \
                #name "(arr)\n--\n\n"}

// The thirteen functions in registration order, which is also the order of __all__. The
// "NAME(arr)\n--\n\n" docs are text signatures: inspect.signature shows (arr) and __doc__
// is None. The records live as long as the process, as the function objects need.
// Frozen: see docs/compatibility.md.
PyMethodDef function_table[] = {
    VEXO_TABLE_ROW(bubble),    VEXO_TABLE_ROW(insertion), VEXO_TABLE_ROW(merge),    VEXO_TABLE_ROW(quick),
    VEXO_TABLE_ROW(heap),      VEXO_TABLE_ROW(intro),     VEXO_TABLE_ROW(tim),      VEXO_TABLE_ROW(pdq),
    VEXO_TABLE_ROW(radix),     VEXO_TABLE_ROW(smart),     VEXO_TABLE_ROW(par_sort), VEXO_TABLE_ROW(par_sort_unstable),
    VEXO_TABLE_ROW(par_merge),
};

#undef VEXO_TABLE_ROW

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    // Frozen: see docs/compatibility.md.
    .m_name = "_vexo",
    // Frozen: see docs/compatibility.md.
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,  // added one by one by populate_module
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module keeps process-wide state (NumPy's table, the pool) that is not per
// interpreter, so it belongs to the first interpreter that imports it.
std::atomic<std::int64_t> owner_interpreter_id{-1};

// The one module object, kept (one strong reference) until the process ends so that a
// re-import yields the same object instead of a second set of functions.
PyObject* module_cache = nullptr;

constexpr int module_api_version = 1013;

bool is_valid_utf8(const char* text) {
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::char_traits<char>::length(text)), "strict"));
    if (!decoded) PyErr_Clear();
    return static_cast<bool>(decoded);
}

// __all__ of the module, created empty if the module has none yet.
Result<PyObject*> all_list_of(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyError::fetch();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return PyError::fetch();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return PyError::fetch();
    }
    // Frozen: see docs/compatibility.md.
    if (!PyList_Check(all.get())) return conversion_error(all.get(), "PyList");
    // The module holds the list, so a borrowed pointer stays valid for this registration.
    return all.get();
}

Status add_function(PyObject* module, PyMethodDef& record) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return PyError::fetch();
    // Frozen: see docs/compatibility.md.
    if (!is_valid_utf8(module_name)) raise_fault("PyModule_GetName expected to return utf8");
    Ref module_name_text = Ref::steal(PyUnicode_FromString(module_name));
    if (!module_name_text) return PyError::fetch();

    // ml_name and ml_doc are C strings of the fixed table, so they cannot hold a NUL byte.
    Ref function = Ref::steal(PyCMethod_New(&record, module, module_name_text.get(), nullptr));
    if (!function) return PyError::fetch();

    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return PyError::fetch();
    const char* name_text = PyUnicode_AsUTF8(name.get());
    if (name_text == nullptr) return PyError::fetch();

    Result<PyObject*> all = all_list_of(module);
    if (!all.ok()) return std::move(all).error();
    Ref entry = Ref::steal(PyUnicode_FromString(name_text));
    if (!entry || PyList_Append(all.value(), entry.get()) < 0) {
        // Frozen: see docs/compatibility.md.
        raise_fault("could not append __name__ to __all__: " + PyError::fetch().describe());
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return PyError::fetch();
    return Done{};
}

// Adds the functions in table order; the first failure ends the registration.
Status populate_module(PyObject* module) {
    for (PyMethodDef& record : function_table) {
        Status added = add_function(module, record);
        if (!added.ok()) return added;
    }
    return Done{};
}

Status claim_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return PyError::fetch();
    std::int64_t expected = -1;
    if (!owner_interpreter_id.compare_exchange_strong(expected, id, std::memory_order_seq_cst) && expected != id) {
        // Frozen: see docs/compatibility.md.
        return PyError::lazy(PyExc_ImportError,
                             std::string("vexo._vexo does not yet support sub-interpreters: it can be imported only by the "
                                         "interpreter that imported it first; see "
                                         "https://docs.python.org/3/c-api/init.html#sub-interpreter-support"));
    }
    return Done{};
}

Result<Ref> initialise_module() {
    Status claimed = claim_interpreter();
    if (!claimed.ok()) return std::move(claimed).error();
    if (module_cache != nullptr) return Ref::borrow(module_cache);

    Ref module = Ref::steal(PyModule_Create2(&module_definition, module_api_version));
    if (!module) return PyError::fetch();
    Status populated = populate_module(module.get());
    if (!populated.ok()) return std::move(populated).error();

    if (module_cache == nullptr) module_cache = module.release();
    return Ref::borrow(module_cache);
}

}  // namespace
}  // namespace vexo

// Frozen: see docs/compatibility.md.
PyMODINIT_FUNC PyInit__vexo(void) { return vexo::call_boundary(vexo::initialise_module); }
