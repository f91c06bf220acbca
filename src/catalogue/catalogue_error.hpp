#pragma once
// Why a catalogue could not be built, in the registry's own error type, and
// the notes that say where. The package's pure-Python twin words every one
// of these texts the same way (ostrelin/_errors.py, _pycatalogue.py).

#include <cstddef>
#include <string>
#include <string_view>

#include "json/json_reader.hpp"
#include "lookup/registry_error.hpp"

namespace veldra {

struct CatalogueFailure {
    // InvalidSchema (a problem of the text or the shape), ParseError (a
    // formula) or CyclicDerivation. A file that cannot be read is the
    // caller's OSError, not one of these.
    RegistryError error;
    std::string note;  // empty: none
    // A version-2 catalogue's units problems have words of their own, which
    // the registry's error type has not: then they replace its message.
    std::string own_message;

    std::string message() const { return own_message.empty() ? error.message() : own_message; }
};

// "invalid units in `SOURCE`", with `note`.
CatalogueFailure units_failure(std::string_view source, std::string note);

// "invalid correlations in `SOURCE`", with `note`.
CatalogueFailure correlations_failure(std::string_view source, std::string note);

// "dimension error in `NAME`", with `note`.
CatalogueFailure dimension_failure(std::string_view name, std::string note);

// InvalidSchema for `source`, with `note`.
CatalogueFailure schema_failure(std::string_view source, std::string note);

// ParseError for the formula of entry `name`.
CatalogueFailure parse_failure(std::string_view name, std::string detail);

// "line L, column C: WHAT" for byte `offset` of `text`.
std::string position_note(std::string_view text, std::size_t offset, std::string_view what);

// `text` between backquotes, as every message quotes a name or a field.
std::string ticked(std::string_view text);

// "entry I (`NAME`): WHAT", the name part only when `name` is not empty.
std::string entry_note(std::size_t index, std::string_view name, std::string_view what);

// What the notes call a JSON value of each kind: "an object", "a number", "null", …
std::string_view kind_name(JsonKind kind) noexcept;

}  // namespace veldra
