#pragma once
// What the module takes from the package: the record class and the two
// exception classes, so that both twins hand out and raise the very same
// types. Imported once, at the module's first import, and kept for the life
// of the process (like the module itself, which refuses other interpreters).

#include <Python.h>

#include <cstddef>
#include <iterator>

#include "pyfacade/py_error.hpp"

namespace veldra::py {

// The datasheet's keys, in its order; each is also the record's attribute
// it comes from.
inline constexpr const char* kDatasheetFields[] = {"name", "status", "uncertainty", "units", "value"};
inline constexpr std::size_t kDatasheetSize = std::size(kDatasheetFields);

struct PackageObjects {
    PyObject* constant;          // ostrelin.Constant
    PyObject* catalogue_error;   // ostrelin.CatalogueError
    PyObject* derivation_error;  // ostrelin.DerivationError
    // kDatasheetFields as interned str, so that reading an attribute and
    // storing a key find their hashes made.
    PyObject* datasheet_fields[kDatasheetSize];
};

// Imports them; fails as the import does.
PyResult<bool> import_package_objects();

// The classes (borrowed); valid once import_package_objects succeeded.
const PackageObjects& package() noexcept;

}  // namespace veldra::py
