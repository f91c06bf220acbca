// The module's entry point: PyInit__veldra_catalogue and the module body.
// Single-phase like the core's: the package cannot run in a second
// interpreter (the core refuses them), so neither does this module, and its
// few Python objects (the type, the package's classes) live as long as the
// process.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "catalogue_module/catalogue_class.hpp"
#include "catalogue_module/catalogue_text.hpp"
#include "catalogue_module/package_objects.hpp"
#include "pyfacade/call_boundary.hpp"

namespace veldra::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, text::kCatalogueModuleName, text::kCatalogueModuleDoc, 0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> first_interpreter{-1};
KeptRef module_cache;  // read and written with the interpreter lock held

PyResult<OwnedRef> initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return unexpected(PyError::fetch());
    std::int64_t first = -1;
    if (!first_interpreter.compare_exchange_strong(first, id) && first != id) {
        return unexpected(PyError::lazy(PyExc_ImportError, text::kCatalogueSubinterpreters));
    }
    if (module_cache) return OwnedRef::borrow(module_cache.get());
    if (auto imported = import_package_objects(); !imported) return unexpected(std::move(imported).error());
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) return unexpected(PyError::fetch());
    PyTypeObject* type = catalogue_class().get();
    if (type == nullptr) return unexpected(PyError::fetch());
    if (PyModule_AddObjectRef(module.get(), "Catalogue", reinterpret_cast<PyObject*>(type)) < 0) {
        return unexpected(PyError::fetch());
    }
    if (module_cache) return OwnedRef::borrow(module_cache.get());
    module_cache.keep(OwnedRef::borrow(module.get()));
    return module;
}

}  // namespace
}  // namespace veldra::py

PyMODINIT_FUNC PyInit__veldra_catalogue() {
    return veldra::py::call_boundary(veldra::py::initialise);
}
