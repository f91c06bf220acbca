#pragma once
// The module's functions over units texts, the native twins of
// ostrelin._units.units_of and convert.

#include <Python.h>

namespace veldra::py {

// units_of(text, /) and convert(value, from_units, to_units), ended by a null entry.
extern PyMethodDef kUnitFunctions[];

}  // namespace veldra::py
