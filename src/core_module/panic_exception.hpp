#pragma once
// vessik_runtime.PanicException: the BaseException subclass that carries
// every internal fault to Python, made once per process on first need.

#include <Python.h>

#include <string_view>

namespace veldra::py {

// The class (borrowed; kept for the life of the process). If the interpreter
// cannot make it, no fault can be reported and the process stops.
PyObject* panic_exception_type() noexcept;

// Whether `exception` is an instance of the class (false if it was never made).
bool is_panic_exception(PyObject* exception) noexcept;

// Sets PanicException(message) as the current exception.
void raise_panic(std::string_view message) noexcept;

}  // namespace veldra::py
