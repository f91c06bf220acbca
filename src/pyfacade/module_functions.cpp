#include "module_functions.hpp"

#include <array>
#include <variant>

#include "arg_parser.hpp"
#include "constant_listing.hpp"
#include "conversions.hpp"
#include "call_boundary.hpp"
#include "datasheet.hpp"
#include "fault.hpp"
#include "json_module.hpp"
#include "lookup_error.hpp"
#include "quark_registry.hpp"

namespace veldra::py {
namespace {

constexpr std::array<const char*, 1> kNameParam{"name"};
const Signature kGetConstantSignature{"py_get_constant()", kNameParam};

PyObject* list_constants(PyObject*, PyObject*) {
    return call_boundary([]() -> PyResult<OwnedRef> { return new_str_list(list_constant_names()); });
}

PyObject* list_quarks(PyObject*, PyObject*) {
    return call_boundary([]() -> PyResult<OwnedRef> { return new_str_list(list_quark_names()); });
}

PyError datasheet_error(const DatasheetError& error, std::string_view name) {
    if (const auto* lookup = std::get_if<RegistryError>(&error)) return lookup_error(*lookup, name);
    return PyError::lazy(PyExc_ValueError, std::get<JsonWriteError>(error).message);
}

PyObject* get_constant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        PyObject* name_arg = nullptr;
        if (auto error = parse_vector_args(kGetConstantSignature, args, nargs, kwnames, &name_arg)) {
            return unexpected(std::move(*error));
        }
        auto name = text_argument(name_arg, "name");
        if (!name) return unexpected(std::move(name).error());
        if (name->empty()) raise_fault("py_get_constant: name must be non-empty");
        auto text = constant_datasheet_json(*name);
        if (!text) return unexpected(datasheet_error(text.error(), *name));
        return json_loads(*text);
    });
}

}  // namespace

PyMethodDef py_list_constants_def = {
    "py_list_constants", list_constants, METH_NOARGS,
    "py_list_constants()\n--\n\nNative-accelerated twin of `ostrelin.list_constants`.\n\n"
    "Returns all known constant names from the FormulasRegistry."};

PyMethodDef py_list_quarks_def = {
    "py_list_quarks", list_quarks, METH_NOARGS,
    "py_list_quarks()\n--\n\nNative-accelerated twin of `ostrelin.list_quarks`.\n\n"
    "Returns all SM quark names from the QuarkRegistry."};

PyMethodDef py_get_constant_def = {
    "py_get_constant", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_constant)),
    METH_FASTCALL | METH_KEYWORDS,
    "py_get_constant(name)\n--\n\nNative-accelerated twin of `ostrelin.Get` for the constants branch.\n\n"
    "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
    "`uncertainty`, and `status` fields \xe2\x80\x94 matching the Python constant\n"
    "datasheet schema so callers don't need to branch.\n\n"
    "Raises `PyKeyError` when `name` is not in the registry."};

}  // namespace veldra::py
