#pragma once
// What each extension module supplies to the shared facade. The facade is a
// static library linked into each module on its own, so each module's
// definitions are the ones its copy calls: the core carries internal faults
// as PanicException, the catalogue module as SystemError.

#include <Python.h>

#include <optional>
#include <string_view>

namespace veldra::py {

// Sets the module's exception for an internal fault: a broken assumption
// with its message, or (nullopt) something thrown that is no C++ exception
// of ours. Must not fail; if it cannot make the exception, the interpreter's
// own error stands.
void raise_internal_fault(std::optional<std::string_view> message) noexcept;

// Ends the process after a fault while raising an error, with the module's text.
[[noreturn]] void stop_at_boundary() noexcept;

// Ends a call in which the interpreter failed to make an object the module
// cannot do without (a new str or float), its error pending: the core prints
// that error and raises the internal fault "Python API call failed"; the
// catalogue module lets the interpreter's MemoryError stand.
[[noreturn]] void api_call_failed();

// Called with every exception PyError::fetch takes from the interpreter,
// before it is kept; may raise an internal fault instead (the core resumes
// a PanicException that went through Python code this way).
void inspect_fetched(PyObject* raised);

}  // namespace veldra::py
