// The module's entry point. Multi-phase: PyInit__veldra_catalogue only
// hands the interpreter the module's definition; each interpreter that
// imports it (one with its own GIL included) runs the exec step below and
// gets a module of its own, with its own Catalogue type and the package's
// classes as that interpreter imported them. Nothing Python lives in the
// process beyond a module.

#include <Python.h>

#include "catalogue_module/catalogue_class.hpp"
#include "catalogue_module/catalogue_text.hpp"
#include "catalogue_module/module_state.hpp"
#include "catalogue_module/unit_functions.hpp"
#include "pyfacade/call_boundary.hpp"

namespace veldra::py {
namespace {

ModuleState& state_in(PyObject* module) noexcept { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

PyResult<OwnedRef> attribute_of(const char* module, const char* name) {
    OwnedRef imported = OwnedRef::steal(PyImport_ImportModule(module));
    if (!imported) return unexpected(PyError::fetch());
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(imported.get(), name));
    if (!value) return unexpected(PyError::fetch());
    return value;
}

PyResult<bool> import_package_objects(ModuleState& state) {
    VELDRA_TRY(state.constant, attribute_of("ostrelin._records", "Constant"));
    VELDRA_TRY(state.catalogue_error, attribute_of("ostrelin._errors", "CatalogueError"));
    VELDRA_TRY(state.derivation_error, attribute_of("ostrelin._errors", "DerivationError"));
    VELDRA_TRY(state.unit_error, attribute_of("ostrelin._errors", "UnitError"));
    VELDRA_TRY(state.units_class, attribute_of("ostrelin._units", "Units"));
    for (std::size_t i = 0; i < kDatasheetSize; ++i) {
        state.datasheet_fields[i] = OwnedRef::steal(PyUnicode_InternFromString(kDatasheetFields[i]));
        if (!state.datasheet_fields[i]) return unexpected(PyError::fetch());
    }
    return true;
}

PyResult<bool> fill_module(PyObject* module) {
    // The interpreter zeroes the state, which is an empty OwnedRef's form.
    ModuleState& state = state_in(module);
    VELDRA_CHECK(import_package_objects(state));
    VELDRA_TRY(state.catalogue_type, create_catalogue_type(module));
    if (PyModule_AddObjectRef(module, "Catalogue", state.catalogue_type.get()) < 0) return unexpected(PyError::fetch());
    return true;
}

int exec_module(PyObject* module) {
    return int_boundary([&]() -> PyResult<int> {
        VELDRA_CHECK(fill_module(module));
        return 0;
    });
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    const ModuleState& state = state_in(module);
    Py_VISIT(state.catalogue_type.get());
    Py_VISIT(state.constant.get());
    Py_VISIT(state.catalogue_error.get());
    Py_VISIT(state.derivation_error.get());
    Py_VISIT(state.unit_error.get());
    Py_VISIT(state.units_class.get());
    for (const OwnedRef& field : state.datasheet_fields) Py_VISIT(field.get());
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState& state = state_in(module);
    dealloc_boundary([&state] {
        state.catalogue_type = OwnedRef();
        state.constant = OwnedRef();
        state.catalogue_error = OwnedRef();
        state.derivation_error = OwnedRef();
        state.unit_error = OwnedRef();
        state.units_class = OwnedRef();
        for (OwnedRef& field : state.datasheet_fields) field = OwnedRef();
    });
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Nothing of the module is shared between interpreters: each has its
    // state, and the native libraries keep no Python object.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    text::kCatalogueModuleName,
    text::kCatalogueModuleDoc,
    sizeof(ModuleState),
    kUnitFunctions,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

PyResult<const ModuleState*> state_of(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    if (module == nullptr) return unexpected(PyError::fetch());
    const ModuleState& state = state_in(module);
    // Late in an interpreter's end, the collector may clear the module
    // before the last catalogue goes.
    if (!state.catalogue_type) return unexpected(PyError::lazy(PyExc_RuntimeError, text::kModuleCleared));
    return &state;
}

}  // namespace veldra::py

PyMODINIT_FUNC PyInit__veldra_catalogue() { return PyModuleDef_Init(&veldra::py::module_def); }
