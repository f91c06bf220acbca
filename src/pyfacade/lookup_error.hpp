#pragma once
// The KeyError raised for a registry lookup that failed.

#include <string_view>

#include "pyfacade/py_error.hpp"
#include "registry/registry_error.hpp"

namespace veldra::py {

// KeyError whose single argument is the error's text. When `name` is close to
// a catalogue name, the exception also carries the note "did you mean '<it>'?";
// its type and argument stay the same either way.
PyError lookup_error(const RegistryError& error, std::string_view name);

}  // namespace veldra::py
