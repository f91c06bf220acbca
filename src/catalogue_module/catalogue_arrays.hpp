#pragma once
// Catalogue._evaluate, the native half of evaluate() (catalogue_arrays.cpp).

#include <Python.h>

namespace veldra::py {

PyObject* catalogue_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace veldra::py
