// The module's entry point: PyInit__veldra_core and the module body.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "pyfacade/call_boundary.hpp"
#include "core_module/classes.hpp"
#include "pyfacade/conversions.hpp"
#include "core_module/interface_text.hpp"
#include "core_module/module_functions.hpp"
#include "support/fault.hpp"

namespace veldra::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    text::kModuleName,
    text::kModuleDoc,
    0,  // no per-module state; with -1 a re-import would copy the dict instead of asking us
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The first interpreter to import the module; -1 until then, never reset.
std::atomic<std::int64_t> first_interpreter{-1};

// The module made by the first successful initialisation, kept for the life
// of the process. Read and written only with the interpreter lock held.
KeptRef module_cache;

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
PyResult<bool> add_name(PyObject* module, const char* name, PyObject* value) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return unexpected(PyError::fetch());
        PyErr_Clear();
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return unexpected(PyError::fetch());
    }
    if (!PyList_Check(all.get())) return unexpected(conversion_error(all.get(), text::kListTarget, false));
    OwnedRef name_obj = OwnedRef::steal(PyUnicode_FromString(name));
    if (!name_obj) return unexpected(PyError::fetch());
    if (PyList_Append(all.get(), name_obj.get()) < 0) {
        print_pending_error();
        raise_fault(text::kAppendToAllFailed);
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
        PyError error = PyError::format(PyExc_RuntimeError, text::kClassInitFailed, cell.spec().name);
        error.set_cause(std::move(cause_obj));
        return unexpected(std::move(error));
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
    OwnedRef version = OwnedRef::steal(PyUnicode_FromString(text::kVersion));
    if (!version) return unexpected(PyError::fetch());
    return add_name(module, "__version__", version.get());
}

PyResult<OwnedRef> initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return unexpected(PyError::fetch());
    std::int64_t first = -1;
    if (!first_interpreter.compare_exchange_strong(first, id) && first != id) {
        return unexpected(PyError::lazy(PyExc_ImportError, text::kSubinterpreters));
    }
    if (module_cache) return OwnedRef::borrow(module_cache.get());

    OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) return unexpected(PyError::fetch());
    if (auto filled = fill_module(module.get()); !filled) return unexpected(std::move(filled).error());
    // The body can run Python code; another import may have finished meanwhile.
    if (module_cache) return OwnedRef::borrow(module_cache.get());
    module_cache.keep(OwnedRef::borrow(module.get()));
    return module;
}

}  // namespace
}  // namespace veldra::py

PyMODINIT_FUNC PyInit__veldra_core() {
    return veldra::py::call_boundary(veldra::py::initialise);
}
