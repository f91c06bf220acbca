#pragma once
// The interpreter's json module, as the datasheet reaches it.

#include <string_view>

#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"

namespace veldra::py {

// Imports "json" through the import machinery as it stands now (sys.modules,
// a replaced builtins.__import__ and all), then returns json.loads(text).
// Import and loads errors are returned unchanged.
PyResult<OwnedRef> json_loads(std::string_view text);

}  // namespace veldra::py
