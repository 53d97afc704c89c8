#include "binding.hpp"

#include <cstring>
#include <string>

namespace vexo {

namespace {

// Slots of NumPy's C-API table, each named after the macro of numpy/__multiarray_api.h
// that reads it (the indices are fixed by numpy/_core/code_generators/numpy_api.py and
// never change within an ABI version).
constexpr std::size_t PyArray_Type_slot = 2;
constexpr std::size_t PyArray_DescrFromType_slot = 45;
constexpr std::size_t PyArray_EquivTypes_slot = 182;
// From numpy/ndarraytypes.h: NPY_LONG of enum NPY_TYPES, the signed 64-bit integer on the
// LP64 platforms vexo is built for, and the NPY_ARRAY_WRITEABLE bit of an array's flags.
// Frozen: see docs/compatibility.md.
constexpr int NPY_LONG_type_number = 7;
constexpr int NPY_ARRAY_WRITEABLE_flag = 0x0400;
constexpr std::size_t element_size = sizeof(std::int64_t);

// The leading fields of NumPy's public PyArrayObject layout, all the module reads.
struct ArrayFields {
    PyObject_HEAD char* data;
    int nd;
    Py_intptr_t* dimensions;
    Py_intptr_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

using DescrFromType = PyObject* (*)(int);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

void** api_table = nullptr;  // written under the interpreter lock, once; never cleared

const ArrayFields& fields_of(PyObject* array) noexcept { return *reinterpret_cast<const ArrayFields*>(array); }

// Frozen: see docs/compatibility.md.
PyError argument_error(const std::string& message) { return PyError::lazy(PyExc_TypeError, "argument 'arr': " + message); }

Result<void**> load_numpy_api() {
    // Frozen: see docs/compatibility.md.
    Ref name = Ref::steal(PyUnicode_FromString("numpy.core.multiarray"));
    Ref module = name ? Ref::steal(PyImport_Import(name.get())) : Ref();
    Ref capsule = module ? Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API")) : Ref();
    if (!capsule) return PyError::fetch();
    // Frozen: see docs/compatibility.md.
    if (!PyCapsule_CheckExact(capsule.get())) return conversion_error(capsule.get(), "PyCapsule");
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr) PyErr_Clear();
    void* pointer = PyCapsule_GetPointer(capsule.get(), capsule_name);
    // A capsule whose pointer cannot be read is as good as no capsule at all.
    if (pointer == nullptr) return PyError::fetch();
    // The table lives inside NumPy's extension; one reference kept forever pins it.
    capsule.release();
    return static_cast<void**>(pointer);
}

std::string full_name(const char* function_name) { return std::string(function_name) + "()"; }

// A masked array keeps its mask in a second array beside its data, which a sort of the
// data alone would leave behind. vexo.dask refuses masked arrays with the same words.
// Frozen: see docs/compatibility.md.
constexpr char masked_array_refusal[] =
    "a masked array cannot be sorted: its data would move and its mask would not, hiding valid values and showing masked ones";

// Whether an ndarray (or subclass) is a numpy.ma.MaskedArray or a subclass of it. An exact
// ndarray never is, and no masked array exists until numpy.ma has been imported, so the
// module is only looked up in sys.modules, never imported: a plain call stays as cheap
// as it was, and nothing is loaded that the caller did not load.
Result<bool> is_masked_array(PyObject* object, PyTypeObject* array_type) {
    if (Py_TYPE(object) == array_type) return false;
    Ref name = Ref::steal(PyUnicode_FromString("numpy.ma"));
    if (!name) return PyError::fetch();
    Ref masked_module = Ref::steal(PyImport_GetModule(name.get()));
    if (!masked_module) {
        if (PyErr_Occurred() != nullptr) return PyError::fetch();
        return false;
    }
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(masked_module.get(), "MaskedArray", &found) < 0) return PyError::fetch();
    Ref masked_type = Ref::steal(found);
    // The class itself, not isinstance: a __class__ or __instancecheck__ of Python code
    // cannot hide what the object's layout is.
    return masked_type && PyType_Check(masked_type.get()) &&
           PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(masked_type.get())) != 0;
}

}  // namespace

Result<PyObject*> bind_arguments(const char* function_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) {
        // Frozen: see docs/compatibility.md.
        return PyError::lazy(PyExc_TypeError,
                             full_name(function_name) + " takes 1 positional arguments but " + std::to_string(nargs) + " were given");
    }
    PyObject* arr = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        // Frozen: see docs/compatibility.md.
        if (!PyUnicode_Check(keyword)) return conversion_error(keyword, "PyString");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (text == nullptr) PyErr_Clear();
        if (text == nullptr || size != 3 || std::memcmp(text, "arr", 3) != 0) {
            // Frozen: see docs/compatibility.md.
            return PyError::lazy(PyExc_TypeError,
                                 full_name(function_name) + " got an unexpected keyword argument '" + str_of(keyword) + "'");
        }
        // Frozen: see docs/compatibility.md.
        if (arr != nullptr) return PyError::lazy(PyExc_TypeError, full_name(function_name) + " got multiple values for argument 'arr'");
        arr = args[nargs + k];
    }
    // Frozen: see docs/compatibility.md.
    if (arr == nullptr) return PyError::lazy(PyExc_TypeError, full_name(function_name) + " missing 1 required positional argument: 'arr'");
    return arr;
}

void** numpy_api() {
    if (api_table != nullptr) return api_table;
    Result<void**> loaded = load_numpy_api();
    // Frozen: see docs/compatibility.md.
    if (!loaded.ok()) raise_fault("Failed to access NumPy array API capsule: " + loaded.error().describe());
    // The import runs Python code and may have let another thread fill the table first.
    if (api_table == nullptr) api_table = loaded.value();
    return api_table;
}

Result<PyObject*> extract_int64_vector(PyObject* object) {
    void** api = numpy_api();
    auto* array_type = static_cast<PyTypeObject*>(api[PyArray_Type_slot]);
    if (Py_TYPE(object) != array_type && !PyType_IsSubtype(Py_TYPE(object), array_type)) {
        // Frozen: see docs/compatibility.md.
        return argument_error("'" + qualname_of(Py_TYPE(object)) + "' object cannot be converted to 'PyArray<T, D>'");
    }
    Result<bool> masked = is_masked_array(object, array_type);
    if (!masked.ok()) return std::move(masked).error();
    if (masked.value()) return argument_error(masked_array_refusal);
    const ArrayFields& array = fields_of(object);
    // Frozen: see docs/compatibility.md.
    if (array.nd != 1) return argument_error("dimensionality mismatch:\n from=" + std::to_string(array.nd) + ", to=1");
    Ref wanted = Ref::steal(reinterpret_cast<DescrFromType>(api[PyArray_DescrFromType_slot])(NPY_LONG_type_number));
    if (!wanted) return PyError::fetch();
    if (array.descr != wanted.get() && reinterpret_cast<EquivTypes>(api[PyArray_EquivTypes_slot])(array.descr, wanted.get()) == 0) {
        // Frozen: see docs/compatibility.md.
        return argument_error("type mismatch:\n from=" + str_of(array.descr) + ", to=" + str_of(wanted.get()));
    }
    return object;
}

ElementView element_view(PyObject* array) noexcept {
    const ArrayFields& fields = fields_of(array);
    return ElementView{
        .data = reinterpret_cast<std::int64_t*>(fields.data),
        .length = static_cast<std::size_t>(fields.dimensions[0]),
        .byte_stride = fields.strides[0],
        .writeable = (fields.flags & NPY_ARRAY_WRITEABLE_flag) != 0,
    };
}

Result<SortTarget> sort_target_of(const ElementView& view, const FaultLocation& unit) {
    if (view.length > 1) {
        // Elements must lie exactly 8 bytes apart on 8-byte boundaries: a stride of 9..15
        // bytes or a misaligned start would be sorted as if contiguous and scramble the array.
        const bool aligned = reinterpret_cast<std::uintptr_t>(view.data) % alignof(std::int64_t) == 0;
        if (view.byte_stride != static_cast<std::ptrdiff_t>(element_size) || !aligned) {
            // Frozen: see docs/compatibility.md.
            raise_fault("called `Option::unwrap()` on a `None` value", unit);
        }
    }
    // Sorting writes through the data pointer; memory the owner declared immutable (a
    // read-only memmap, a buffer of bytes) must not be touched.
    // Frozen: see docs/compatibility.md.
    if (!view.writeable) return PyError::lazy(PyExc_ValueError, std::string("argument 'arr': array is read-only"));
    return SortTarget(view.data, view.length);
}

Result<Ref> module_function_body(const ModuleFunction& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Result<PyObject*> bound = bind_arguments(function.name, args, nargs, kwnames);
    if (!bound.ok()) return std::move(bound).error();
    Result<PyObject*> array = extract_int64_vector(bound.value());
    if (!array.ok()) return std::move(array).error();
    Result<SortTarget> target = sort_target_of(element_view(array.value()), function.unit);
    if (!target.ok()) return std::move(target).error();
    function.sort(target.value());
    return Ref::borrow(Py_None);
}

}  // namespace vexo
