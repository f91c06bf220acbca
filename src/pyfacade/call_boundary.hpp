#pragma once
// The fault barrier around every entry point the interpreter calls. A body
// ends in a result, a PyError, or a C++ exception; the barrier turns each
// into "return value", "exception set, return the error value". Nothing
// unwinds into the interpreter: an internal fault becomes the module's fault
// exception (module_hooks.hpp), std::bad_alloc becomes MemoryError, and a
// fault while raising any of these stops the process.
//
// One unwind is let through: the forced unwind with which the interpreter
// ends a daemon thread that wants the interpreter lock back during shutdown
// (pthread_exit). It is not an error but the thread's end; swallowing it
// aborts the process. That is also why the barriers and the entry points are
// not noexcept: a forced unwind reaching a noexcept frame calls terminate.

#include <Python.h>

#include <exception>
#include <utility>

#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"

namespace veldra::py {

namespace detail {
// Sets the exception for a C++ exception that escaped a body.
void raise_escaped(std::exception_ptr failure) noexcept;
// Sets `error` as the current exception.
void raise_error(PyError&& error) noexcept;

inline PyObject* hand_over(OwnedRef&& result) noexcept { return result.release(); }
inline Py_ssize_t hand_over(Py_ssize_t result) noexcept { return result; }
inline int hand_over(int result) noexcept { return result; }

// Runs `body` and returns its result as the interpreter takes it, or
// `failed` with the exception set. The only place in the facade that catches
// everything; it is inlined into every entry, so it stays small.
template <class Out, class Body>
Out boundary(Body& body, Out failed) {
    std::exception_ptr failure;
    try {
        auto result = body();
        if (result) return hand_over(std::move(result).value());
        raise_error(std::move(result).error());
        return failed;
    } catch (...) {
        // A forced unwind (like any foreign exception) cannot be captured, so
        // current_exception() is null for it: it goes on. (Catching
        // abi::__forced_unwind by name would bind a reference to no object.)
        failure = std::current_exception();
        if (!failure) throw;
    }
    raise_escaped(std::move(failure));
    return failed;
}
}  // namespace detail

// For entries that return an object: new reference, or null with an exception set.
template <class Body>
PyObject* call_boundary(Body&& body) {
    return detail::boundary<PyObject*>(body, nullptr);
}

// For the length slot: a non-negative length, or -1 with an exception set.
template <class Body>
Py_ssize_t length_boundary(Body&& body) {
    return detail::boundary<Py_ssize_t>(body, -1);
}

// For slots that answer an int (tp_init, sq_contains): a non-negative int,
// or -1 with an exception set.
template <class Body>
int int_boundary(Body&& body) {
    return detail::boundary<int>(body, -1);
}

// For deallocators: runs `body`; whatever escapes it is reported through the
// unraisable-exception hook, and the exception that was current before (if
// any) is left in place.
template <class Body>
void dealloc_boundary(Body&& body) {
    PyObject* outer = PyErr_Occurred() != nullptr ? PyErr_GetRaisedException() : nullptr;
    auto run = [&body]() -> PyResult<int> {
        body();
        return 0;
    };
    if (detail::boundary<int>(run, -1) != 0) PyErr_WriteUnraisable(nullptr);
    if (outer != nullptr) PyErr_SetRaisedException(outer);
}

}  // namespace veldra::py
