// The call boundary: every entry from the interpreter runs its body here. A body returns a
// Python object, returns a Python error, or throws an InternalFault; the boundary turns all
// three into what the C-API expects (a new reference, or null with one exception set).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>
#include <variant>

#include "core/fault.hpp"

namespace vexo {

// An owned (strong) reference, released when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) Py_XSETREF(p_, std::exchange(other.p_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A Python error held by the module until the boundary raises it: either a type with its
// argument, raised only at the boundary, or an exception instance fetched from the
// interpreter, raised again unchanged.
class PyError {
public:
    static PyError lazy(PyObject* type, Ref argument) noexcept;
    static PyError lazy(PyObject* type, const std::string& message) noexcept;
    // Takes the interpreter's pending exception. None pending gives SystemError. A
    // PanicException of another native module is not an error to hand back: it is printed
    // and continues here as an internal fault.
    static PyError fetch();

    // Sets this error as the interpreter's pending exception.
    void raise() &&;
    // "PyErr { type: <class 'X'>, value: X('...'), traceback: None }".
    std::string describe() const;
    // The Python object the error stands for (instantiated on demand).
    Ref instance() const;

private:
    PyError() = default;
    Ref type_;
    Ref argument_;
    Ref instance_;  // set for fetched errors
};

// The outcome of an operation that can fail with a Python error.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(PyError error) : v_(std::move(error)) {}
    bool ok() const noexcept { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    PyError& error() & { return std::get<1>(v_); }
    PyError&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, PyError> v_;
};

// An operation that succeeds with nothing to give back.
struct Done {};
using Status = Result<Done>;

// The process-wide pyo3_runtime.PanicException type, made on first need. Creation failure
// is a fault that nothing can turn into an exception.
PyObject* panic_exception_type();

// Text of a Python object (str / repr), with a fixed stand-in if the object refuses.
std::string str_of(PyObject* object);
std::string repr_of(PyObject* object);
// __qualname__ of a type, as messages quote it.
std::string qualname_of(PyTypeObject* type);
// "'X' object cannot be converted to 'Y'", the message of every failed conversion.
PyError conversion_error(PyObject* object, const char* wanted);

namespace detail {
PyObject* finish_success(Ref object) noexcept;
PyObject* finish_error(PyError error) noexcept;
PyObject* finish_fault(const std::string& message) noexcept;
PyObject* finish_foreign_exception(const char* what) noexcept;
}  // namespace detail

// Runs `body` (returning Result<Ref>) and translates its outcome. Nothing thrown inside
// escapes; a fault raised while translating ends the process (see detail::finish_*).
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
    try {
        Result<Ref> outcome = body();
        if (outcome.ok()) return detail::finish_success(std::move(outcome).value());
        return detail::finish_error(std::move(outcome).error());
    } catch (const InternalFault& fault) {
        return detail::finish_fault(fault.message());
    } catch (const std::exception& other) {
        return detail::finish_foreign_exception(other.what());
    }
}

}  // namespace vexo
