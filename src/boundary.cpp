#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>

namespace vexo {

namespace {

// The docstring is part of the type's public face: 235 characters, opening and closing
// with a line break.
// Frozen: see docs/compatibility.md.
constexpr char panic_exception_doc[] =
    "\nThe exception raised when native code, invoked from Python, faults.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way up the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* panic_type = nullptr;  // guarded by the interpreter lock; never released

constexpr char fault_without_message[] = "internal fault without a message";
constexpr char unreadable_object[] = "<object that cannot be shown>";

std::string utf8_of(Ref text) {
    if (!text) {
        PyErr_Clear();
        return unreadable_object;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return unreadable_object;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// A fault while an error is being raised has nowhere to go: report it as escaping the
// boundary and stop the process, as an exception leaving an entry point would.
[[noreturn]] void abort_uncaught() noexcept {
    // Frozen: see docs/compatibility.md.
    write_fault_report("uncaught panic at ffi boundary", FaultLocation{});
    std::abort();
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;  // the MemoryError it left pending is what the caller sees
    PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* panic_exception_type() {
    if (panic_type != nullptr) return panic_type;
    // Frozen: see docs/compatibility.md.
    PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_exception_doc, PyExc_BaseException, nullptr);
    if (made == nullptr) {
        PyError cause = PyError::fetch();
        // Frozen: see docs/compatibility.md.
        raise_fault("Failed to initialize new exception type.: " + cause.describe());
    }
    // Making the type may run Python code that lets another thread in; the first stored wins.
    if (panic_type == nullptr) {
        panic_type = made;
    } else {
        Py_DECREF(made);
    }
    return panic_type;
}

std::string str_of(PyObject* object) { return utf8_of(Ref::steal(PyObject_Str(object))); }
std::string repr_of(PyObject* object) { return utf8_of(Ref::steal(PyObject_Repr(object))); }
std::string qualname_of(PyTypeObject* type) { return utf8_of(Ref::steal(PyType_GetQualName(type))); }

PyError conversion_error(PyObject* object, const char* wanted) {
    // Frozen: see docs/compatibility.md.
    return PyError::lazy(PyExc_TypeError, "'" + qualname_of(Py_TYPE(object)) + "' object cannot be converted to '" + wanted + "'");
}

PyError PyError::lazy(PyObject* type, Ref argument) noexcept {
    PyError error;
    error.type_ = Ref::borrow(type);
    error.argument_ = std::move(argument);
    return error;
}

PyError PyError::lazy(PyObject* type, const std::string& message) noexcept {
    return lazy(type, Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
}

PyError PyError::fetch() {
    PyObject* raised = PyErr_GetRaisedException();
    // Frozen: see docs/compatibility.md.
    if (raised == nullptr) return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyError error;
    error.instance_ = Ref::steal(raised);
    PyObject* panic = panic_exception_type();
    if (PyObject_TypeCheck(raised, reinterpret_cast<PyTypeObject*>(panic))) {
        // Another native module's fault passing through Python code we called: show its
        // traceback, then let it travel on as a fault of ours, without a second report.
        const std::string message = str_of(raised);
        static constexpr char banner[] =
            "--- A PanicException was raised in Python code called by vexo; it continues as a fault of vexo.\n"
            "--- Python stack trace follows:\n";
        std::fputs(banner, stderr);
        std::fflush(stderr);
        PyErr_SetRaisedException(error.instance_.release());
        PyErr_PrintEx(0);
        raise_reported_fault(message);
    }
    return error;
}

Ref PyError::instance() const {
    if (instance_) return Ref::borrow(instance_.get());
    if (!argument_) return Ref::steal(PyObject_CallNoArgs(type_.get()));
    if (PyTuple_Check(argument_.get())) return Ref::steal(PyObject_Call(type_.get(), argument_.get(), nullptr));
    return Ref::steal(PyObject_CallOneArg(type_.get(), argument_.get()));
}

void PyError::raise() && {
    if (instance_) {
        PyErr_SetRaisedException(instance_.release());
        return;
    }
    PyObject* type = type_.get();
    if (type != nullptr && PyType_Check(type) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
        PyErr_SetObject(type, argument_ ? argument_.get() : Py_None);
    } else {
        // Frozen: see docs/compatibility.md.
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

std::string PyError::describe() const {
    // Instantiating may itself fail; the pending error must not leak out of a description.
    PyObject* pending = PyErr_GetRaisedException();
    Ref value = instance();
    std::string text;
    if (!value) {
        PyErr_Clear();
        // Frozen: see docs/compatibility.md.
        text = "PyErr { type: " + repr_of(type_.get()) + ", value: " + unreadable_object + ", traceback: None }";
    } else {
        Ref traceback = Ref::steal(PyException_GetTraceback(value.get()));
        // Frozen: see docs/compatibility.md.
        const std::string tb = traceback ? "Some(" + repr_of(traceback.get()) + ")" : std::string("None");
        text = "PyErr { type: " + repr_of(reinterpret_cast<PyObject*>(Py_TYPE(value.get()))) + ", value: " + repr_of(value.get()) +
               ", traceback: " + tb + " }";
    }
    PyErr_SetRaisedException(pending);
    return text;
}

namespace detail {

PyObject* finish_success(Ref object) noexcept { return object.release(); }

PyObject* finish_error(PyError error) noexcept {
    try {
        std::move(error).raise();
    } catch (const InternalFault&) {
        abort_uncaught();
    }
    return nullptr;
}

PyObject* finish_fault(const std::string& message) noexcept {
    try {
        raise_panic(message.empty() ? std::string(fault_without_message) : message);
    } catch (const InternalFault&) {
        abort_uncaught();
    }
    return nullptr;
}

PyObject* finish_foreign_exception(const char* what) noexcept {
    // Not raised through raise_fault, so nothing has been reported yet.
    const std::string message = what != nullptr && what[0] != '\0' ? what : fault_without_message;
    write_fault_report(message, FaultLocation{});
    return finish_fault(message);
}

}  // namespace detail

}  // namespace vexo
