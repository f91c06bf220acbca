#pragma once
// What the Catalogue type's slots and methods share: reaching the object
// behind `self`, naming a row from an argument, turning the store's
// failures into the package's exceptions, and the calling convention of a
// method.

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>

#include "catalogue/catalogue_builder.hpp"
#include "catalogue_module/catalogue_object.hpp"
#include "catalogue_module/module_state.hpp"
#include "pyfacade/arg_parser.hpp"
#include "pyfacade/call_boundary.hpp"

namespace veldra::py {

// The class as messages name it and how its instances are made.
extern const ClassSpec kCatalogueSpec;

// The object behind an instance of the type (or a subclass), or TypeError
// "Catalogue object was not made by Catalogue.__init__()" when its value
// was never built.
PyResult<CatalogueObject*> checked(PyObject* self);

// CatalogueError with the failure's message and note.
PyError catalogue_error(const ModuleState& state, const CatalogueFailure& failure);

// DerivationError with `message`.
PyError derivation_error(const ModuleState& state, const std::string& message);

// The row a name argument names, with the errors of the pure twin's
// lookups: TypeError for a non-str, ValueError for "", the interpreter's
// UnicodeEncodeError for a lone surrogate, KeyError (with a hint) for a miss.
PyResult<std::uint32_t> row_named(const CatalogueObject& object, PyObject* name_arg);

// The usual lookup: the row of one exact ASCII str, or kNoIndex, which sends
// the call down the path that also reports every error.
std::uint32_t fast_row(const CatalogueObject& object, PyObject* name) noexcept;

// The store a `base` argument names: null for None (or no argument), else
// the store of a Catalogue of this module made by its constructor; TypeError
// otherwise.
PyResult<const CatalogueStore*> base_store(const ModuleState& state, PyObject* base);

// TypeError from `format`, whose one %U is the type name of `value`.
PyError wrong_type(const char* format, PyObject* value);

// TypeError "<parameter> must be a str, not <type>" for a units argument that is no str.
PyResult<bool> check_units_str(PyObject* value, const char* parameter);

// A new reference to a `base` argument; empty for None.
OwnedRef base_reference(PyObject* base);

// Computes every formula's value, without the interpreter lock, the first
// time one is asked for.
void prepare_values(const CatalogueStore& store);

// Runs `body(object, arguments)` for a method of `signature` called on
// `self`: the arguments are bound as a Python def binds them, so that a
// wrong call fails with the pure twin's words, before `self` is checked.
template <std::size_t N, class Body>
PyObject* method(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Body&& body) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        std::array<PyObject*, N == 0 ? 1 : N> given{};
        if (auto error = parse_vector_args(signature, args, nargs, kwnames, given.data())) {
            return unexpected(std::move(*error));
        }
        VELDRA_TRY(CatalogueObject * object, checked(self));
        return body(*object, given);
    });
}

}  // namespace veldra::py
