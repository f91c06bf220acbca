#include "core_module/json_module.hpp"

#include "pyfacade/conversions.hpp"
#include "pyfacade/module_hooks.hpp"

namespace veldra::py {
namespace {

// Names interned once per process and kept: the import and the attribute
// lookup then find their hashes cached. (The module refuses other
// interpreters, so one set serves every call.)
KeptRef json_name;
KeptRef loads_name;

PyObject* interned(KeptRef& cell, const char* text) {
    if (!cell) {
        OwnedRef name = OwnedRef::steal(PyUnicode_InternFromString(text));
        if (!name) api_call_failed();
        cell.keep(std::move(name));
    }
    return cell.get();
}

}  // namespace

PyResult<OwnedRef> json_loads(std::string_view text) {
    // The interpreter's own import on every call: it honours sys.modules and
    // a replaced builtins.__import__, and nothing here keeps the module.
    OwnedRef json = OwnedRef::steal(PyImport_Import(interned(json_name, "json")));
    if (!json) return unexpected(PyError::fetch());
    OwnedRef arg = new_str(text);
    PyObject* call_args[] = {json.get(), arg.get()};
    OwnedRef parsed = OwnedRef::steal(PyObject_VectorcallMethod(interned(loads_name, "loads"), call_args, 2, nullptr));
    if (!parsed) return unexpected(PyError::fetch());
    return parsed;
}

}  // namespace veldra::py
