#pragma once
// The KeyError raised for a lookup that failed, and notes on exceptions.

#include <optional>
#include <string>
#include <string_view>

#include "pyfacade/py_error.hpp"
#include "lookup/registry_error.hpp"

namespace veldra::py {

// KeyError whose single argument is the error's text. With a `suggestion`
// the exception also carries the note "did you mean '<it>'?"; its type and
// argument stay the same either way.
PyError lookup_error(const RegistryError& error, const std::optional<std::string>& suggestion);

// Adds `note` to `exception` (exception.add_note). Returns false, with the
// interpreter's error set, if that fails.
bool add_note(PyObject* exception, std::string_view note);

}  // namespace veldra::py
