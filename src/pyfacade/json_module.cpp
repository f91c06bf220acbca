#include "json_module.hpp"

#include <cstring>

#include "conversions.hpp"

namespace veldra::py {
namespace {

// Interned once per process and kept: attribute and sys.modules lookups
// then find their hash cached. (The module refuses other interpreters.)
PyObject* interned(PyObject*& cell, const char* text) {
    if (cell == nullptr) {
        cell = PyUnicode_InternFromString(text);
        if (cell == nullptr) api_call_failed();
    }
    return cell;
}

PyObject* json_name_cell = nullptr;
PyObject* loads_name_cell = nullptr;
PyObject* builtins_key_cell = nullptr;
PyObject* import_key_cell = nullptr;

// The interpreter's own __import__ as an entry of the builtins module's
// method table, looked up once; null if it cannot be found. A function object
// made from that entry runs the interpreter's import whatever it is called.
const PyMethodDef* builtin_import_entry() {
    static bool looked = false;
    static const PyMethodDef* entry = nullptr;
    if (looked) return entry;
    looked = true;
    OwnedRef builtins = OwnedRef::steal(PyImport_ImportModule("builtins"));
    PyModuleDef* def = builtins ? PyModule_GetDef(builtins.get()) : nullptr;
    if (def == nullptr || def->m_methods == nullptr) {
        PyErr_Clear();
        return entry;
    }
    for (const PyMethodDef* m = def->m_methods; m->ml_name != nullptr; ++m) {
        if (std::strcmp(m->ml_name, "__import__") == 0) entry = m;
    }
    return entry;
}

// Whether `fn` is the interpreter's own builtins.__import__ (not a
// replacement): one pointer comparison per call.
bool is_builtin_import(PyObject* fn) {
    const PyMethodDef* own = builtin_import_entry();
    return own != nullptr && PyCFunction_Check(fn) && reinterpret_cast<PyCFunctionObject*>(fn)->m_ml == own;
}

// PyImport_Import, step for step: look __import__ up in the caller's
// builtins, call it for its side effect, then return sys.modules[name]. When
// __import__ is the interpreter's own, it is called directly instead of
// through an argument tuple; that is all it would do with the arguments.
PyResult<OwnedRef> import_module(PyObject* name) {
    OwnedRef globals = OwnedRef::borrow(PyEval_GetGlobals());
    OwnedRef builtins;
    if (globals) {
        builtins = OwnedRef::steal(PyObject_GetItem(globals.get(), interned(builtins_key_cell, "__builtins__")));
    } else {
        builtins = OwnedRef::steal(PyImport_ImportModuleLevel("builtins", nullptr, nullptr, nullptr, 0));
        if (builtins) globals = OwnedRef::steal(Py_BuildValue("{OO}", interned(builtins_key_cell, "__builtins__"), builtins.get()));
        if (!globals) return unexpected(PyError::fetch());
    }
    if (!builtins) return unexpected(PyError::fetch());

    PyObject* import_key = interned(import_key_cell, "__import__");
    OwnedRef import_fn;
    if (PyDict_Check(builtins.get())) {
        import_fn = OwnedRef::steal(PyObject_GetItem(builtins.get(), import_key));
        if (!import_fn) PyErr_SetObject(PyExc_KeyError, import_key);
    } else {
        import_fn = OwnedRef::steal(PyObject_GetAttr(builtins.get(), import_key));
    }
    if (!import_fn) return unexpected(PyError::fetch());

    OwnedRef imported;
    if (is_builtin_import(import_fn.get())) {
        imported = OwnedRef::steal(PyImport_ImportModuleLevelObject(name, globals.get(), globals.get(), nullptr, 0));
    } else {
        OwnedRef from_list = OwnedRef::steal(PyList_New(0));
        if (!from_list) return unexpected(PyError::fetch());
        imported = OwnedRef::steal(PyObject_CallFunction(import_fn.get(), "OOOOi", name, globals.get(), globals.get(),
                                                         from_list.get(), 0));
    }
    if (!imported) return unexpected(PyError::fetch());

    OwnedRef module = OwnedRef::steal(PyImport_GetModule(name));
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
        return unexpected(PyError::fetch());
    }
    return module;
}

}  // namespace

PyResult<OwnedRef> json_loads(std::string_view text) {
    auto json = import_module(interned(json_name_cell, "json"));
    if (!json) return json;
    OwnedRef arg = new_str(text);
    PyObject* call_args[] = {json->get(), arg.get()};
    OwnedRef parsed = OwnedRef::steal(
        PyObject_VectorcallMethod(interned(loads_name_cell, "loads"), call_args, 2, nullptr));
    if (!parsed) return unexpected(PyError::fetch());
    return parsed;
}

}  // namespace veldra::py
