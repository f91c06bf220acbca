#pragma once
// The Catalogue type: a CatalogueObject inside a Python object, with the
// mapping protocol and the methods of the pure twin's Catalogue. The
// package subclasses it (with collections.abc.Mapping for keys(), items(),
// ==).

#include <Python.h>

#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"

namespace veldra::py {

// A new Catalogue type belonging to `module` (each module its own), whose
// methods find the module's state through it.
PyResult<OwnedRef> create_catalogue_type(PyObject* module);

}  // namespace veldra::py
