#pragma once
// The fault barrier around every entry point the interpreter calls. A body
// ends in a result, a PyError, or a C++ exception; the barrier turns each
// into "return value", "exception set, return the error value". Nothing
// unwinds into the interpreter: an internal fault becomes PanicException,
// std::bad_alloc becomes MemoryError, and a fault while raising any of these
// stops the process with "uncaught panic at ffi boundary".

#include <Python.h>

#include <exception>
#include <utility>

#include "owned_ref.hpp"
#include "py_error.hpp"

namespace veldra::py {

namespace detail {
// Sets the exception for a C++ exception that escaped a body.
void raise_escaped(std::exception_ptr failure) noexcept;
// Sets `error` as the current exception.
void raise_error(PyError&& error) noexcept;
}  // namespace detail

// For entries that return an object: new reference, or null with an exception set.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
    std::exception_ptr failure;
    try {
        PyResult<OwnedRef> result = body();
        if (result) return std::move(result).value().release();
        detail::raise_error(std::move(result).error());
        return nullptr;
    } catch (...) {
        failure = std::current_exception();
    }
    detail::raise_escaped(std::move(failure));
    return nullptr;
}

// For the length slot: a non-negative length, or -1 with an exception set.
template <class Body>
Py_ssize_t length_boundary(Body&& body) noexcept {
    std::exception_ptr failure;
    try {
        PyResult<Py_ssize_t> result = body();
        if (result) return result.value();
        detail::raise_error(std::move(result).error());
        return -1;
    } catch (...) {
        failure = std::current_exception();
    }
    detail::raise_escaped(std::move(failure));
    return -1;
}

// For deallocators: runs `body`; whatever escapes it is reported through the
// unraisable-exception hook, and the exception that was current before (if
// any) is left in place.
template <class Body>
void dealloc_boundary(Body&& body) noexcept {
    std::exception_ptr failure;
    try {
        body();
        return;
    } catch (...) {
        failure = std::current_exception();
    }
    PyObject* outer = PyErr_GetRaisedException();
    detail::raise_escaped(std::move(failure));
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(outer);
}

}  // namespace veldra::py
