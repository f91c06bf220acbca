#pragma once
// Between Constant records and catalogue rows: reading the records a caller
// builds a catalogue from, checked field by field as the pure twin checks
// them (_draft_from_record in ostrelin/_pycatalogue.py), and making the
// records a catalogue hands out.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "catalogue/catalogue_builder.hpp"
#include "catalogue/catalogue_store.hpp"
#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"

namespace veldra::py {

// Adds the records `entries` yields to `builder`, in order, until one is
// refused (one that is no instance of `record_class` included). Errors
// raised by Python code on the way (iterating, reading an attribute) come
// back as they are.
PyResult<bool> read_records(PyObject* record_class, PyObject* entries, CatalogueBuilder& builder);

// What a record field holds, in the words a JSON value would get ("a
// number", "null", "a list object"): the twin of _record_kind.
std::string kind_of(PyObject* value);

// A derived formula's fields in place of the stored ones.
struct DerivedFields {
    double value;
    std::optional<double> uncertainty;
    // In other units than the entry's: their text. A seed in other units
    // keeps its status; a formula's derived record is "Cached".
    std::optional<std::string_view> units = std::nullopt;
    bool cached = true;
};

// The record (an instance of `record_class`, the package's Constant) for
// row `row`, with `derived` fields if given.
PyResult<OwnedRef> make_record(PyObject* record_class, const CatalogueStore& store, std::uint32_t row,
                               const DerivedFields* derived = nullptr);

// A new str of UTF-8 text the catalogue holds (valid by construction).
OwnedRef text_object(std::string_view text);

}  // namespace veldra::py
