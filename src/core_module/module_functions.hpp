#pragma once
// The module-level functions, as method records for PyCFunction_NewEx.

#include <Python.h>

namespace veldra::py {

extern PyMethodDef py_list_constants_def;
extern PyMethodDef py_list_quarks_def;
extern PyMethodDef py_get_constant_def;

}  // namespace veldra::py
