#pragma once
// The Catalogue type's methods, properties and private constructors, for
// its type spec.

#include <Python.h>

namespace veldra::py {

// The methods, ended by a null entry: the mapping's get(), names(), find(),
// datasheet(), derive(), derived(), budget(), dumps(), the copies, and the
// private constructors _read() and _load() the package's loads and load
// call.
extern PyMethodDef kCatalogueMethods[];

// The properties source and description, ended by a null entry.
extern PyGetSetDef kCatalogueProperties[];

}  // namespace veldra::py
