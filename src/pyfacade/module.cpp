// The module's entry point: PyInit__veldra_core and the module body.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "call_boundary.hpp"
#include "classes.hpp"
#include "conversions.hpp"
#include "fault.hpp"
#include "module_functions.hpp"

namespace veldra::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_veldra_core",
    "Vessik module entry point. Wired as `ostrelin._veldra_core`.",
    0,  // no per-module state; with -1 a re-import would copy the dict instead of asking us
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The first interpreter to import the module; -1 until then, never reset.
std::atomic<std::int64_t> first_interpreter{-1};

// The module made by the first successful initialisation, kept for the life
// of the process. Read and written only with the interpreter lock held.
PyObject* module_cache = nullptr;

constexpr char kSubinterpreterMessage[] =
    "Vessik modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
PyResult<bool> add_name(PyObject* module, const char* name, PyObject* value) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return unexpected(PyError::fetch());
        PyErr_Clear();
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return unexpected(PyError::fetch());
    }
    if (!PyList_Check(all.get())) return unexpected(conversion_error(all.get(), "PyList", false));
    OwnedRef name_obj = OwnedRef::steal(PyUnicode_FromString(name));
    if (!name_obj) return unexpected(PyError::fetch());
    if (PyList_Append(all.get(), name_obj.get()) < 0) {
        PyErr_Print();
        raise_fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name_obj.get(), value) < 0) return unexpected(PyError::fetch());
    return true;
}

PyResult<bool> add_class(PyObject* module, TypeCell& cell) {
    PyTypeObject* type = cell.get();
    if (type == nullptr) {
        PyError cause = PyError::fetch();
        std::move(cause).restore();
        OwnedRef cause_obj = OwnedRef::steal(PyErr_GetRaisedException());
        OwnedRef text = OwnedRef::steal(
            PyUnicode_FromFormat("An error occurred while initializing class %s", cell.spec().name));
        if (!text) return unexpected(PyError::fetch());
        OwnedRef error = OwnedRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
        if (!error) return unexpected(PyError::fetch());
        PyException_SetCause(error.get(), cause_obj.release());
        return unexpected(PyError::from_exception(std::move(error)));
    }
    return add_name(module, cell.spec().name, reinterpret_cast<PyObject*>(type));
}

PyResult<bool> add_function(PyObject* module, PyMethodDef* def) {
    OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return unexpected(PyError::fetch());
    OwnedRef function = OwnedRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return unexpected(PyError::fetch());
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return unexpected(PyError::fetch());
    const char* utf8 = PyUnicode_AsUTF8(name.get());
    if (utf8 == nullptr) return unexpected(PyError::fetch());
    return add_name(module, utf8, function.get());
}

PyResult<bool> fill_module(PyObject* module) {
    for (TypeCell* cell : {&formulas_registry_class(), &quark_registry_class(), &ckm_matrix_class()}) {
        if (auto added = add_class(module, *cell); !added) return added;
    }
    for (PyMethodDef* def : {&py_list_constants_def, &py_list_quarks_def, &py_get_constant_def}) {
        if (auto added = add_function(module, def); !added) return added;
    }
    OwnedRef version = OwnedRef::steal(PyUnicode_FromString(kVersion));
    if (!version) return unexpected(PyError::fetch());
    return add_name(module, "__version__", version.get());
}

PyResult<OwnedRef> initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return unexpected(PyError::fetch());
    std::int64_t first = -1;
    if (!first_interpreter.compare_exchange_strong(first, id) && first != id) {
        return unexpected(PyError::lazy(PyExc_ImportError, kSubinterpreterMessage));
    }
    if (module_cache != nullptr) return OwnedRef::borrow(module_cache);

    OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_def, 1013));
    if (!module) return unexpected(PyError::fetch());
    if (auto filled = fill_module(module.get()); !filled) return unexpected(std::move(filled).error());
    // The body can run Python code; another import may have finished meanwhile.
    if (module_cache != nullptr) return OwnedRef::borrow(module_cache);
    module_cache = OwnedRef::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace veldra::py

PyMODINIT_FUNC PyInit__veldra_core() {
    return veldra::py::call_boundary(veldra::py::initialise);
}
