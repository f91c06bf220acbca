#pragma once
// What each _veldra_catalogue module holds for its interpreter: its
// Catalogue type and what it takes from the package (the record class and
// the two exception classes, so that both twins hand out and raise the very
// same types). Every interpreter that imports the module gets its own.

#include <Python.h>

#include <cstddef>
#include <iterator>

#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"

namespace veldra::py {

// The datasheet's keys, in its order; each is also the record's attribute
// it comes from.
inline constexpr const char* kDatasheetFields[] = {"name", "status", "uncertainty", "units", "value"};
inline constexpr std::size_t kDatasheetSize = std::size(kDatasheetFields);

// Filled by the module's exec step; emptied by the collector's clear, after
// which the module is never used again.
struct ModuleState {
    OwnedRef catalogue_type;    // this module's Catalogue
    OwnedRef constant;          // ostrelin.Constant
    OwnedRef catalogue_error;   // ostrelin.CatalogueError
    OwnedRef derivation_error;  // ostrelin.DerivationError
    OwnedRef unit_error;        // ostrelin.UnitError
    OwnedRef units_class;       // ostrelin.Units
    // kDatasheetFields as interned str, so that reading an attribute and
    // storing a key find their hashes made.
    OwnedRef datasheet_fields[kDatasheetSize];

    PyTypeObject* type() const noexcept { return reinterpret_cast<PyTypeObject*>(catalogue_type.get()); }
};

// The state of the module whose Catalogue `type` is or derives from. Fails
// (TypeError) only for a type that is neither.
PyResult<const ModuleState*> state_of(PyTypeObject* type);

}  // namespace veldra::py
