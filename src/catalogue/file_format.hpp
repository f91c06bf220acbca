#pragma once
// The catalogue file format's fixed words, once for the C++ side. The
// package's own copy (ostrelin/_input.py, the fields of ostrelin.Constant
// and ostrelin/catalogue.schema.json) is checked against this header by
// tests/python/test_definitions.py, which reads it.

#include <array>
#include <cstddef>
#include <string_view>

namespace veldra {

inline constexpr std::string_view kFormatName = "ostrelin-catalogue";
// Version 1 keeps units as text; version 2 reads them as units and checks
// every formula's dimension.
inline constexpr std::array<int, 2> kFormatVersions = {1, 2};
// Deeper nesting is refused before any reader recurses; a catalogue needs four levels.
inline constexpr std::size_t kMaxJsonDepth = 64;
// An entry's fields, in the order of a record's (ostrelin.Constant); each a
// literal, so data() is a C string too.
inline constexpr std::array<std::string_view, 9> kEntryFields = {
    "name", "value", "units", "uncertainty", "status", "expression", "dependencies", "description", "symbol"};
inline constexpr std::array<std::string_view, 6> kTopFields = {"format", "version", "description", "units",
                                                               "correlations", "constants"};

}  // namespace veldra
