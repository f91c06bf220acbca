#pragma once
// The private constructors behind the package's loads() and load(): the
// native reader over bytes, or over a file it reads itself.

#include <Python.h>

namespace veldra::py {

// Catalogue._read(data, source, base): the pure twin's loads once the text is bytes.
PyObject* catalogue_read(PyObject* type, PyObject* const* args, Py_ssize_t nargs);

// Catalogue._load(path, base): the pure twin's load; the path is the source.
PyObject* catalogue_load(PyObject* type, PyObject* const* args, Py_ssize_t nargs);

}  // namespace veldra::py
