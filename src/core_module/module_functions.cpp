#include "core_module/module_functions.hpp"

#include <array>
#include <variant>

#include "datasheet/datasheet.hpp"
#include "particles/quark_registry.hpp"
#include "pyfacade/arg_parser.hpp"
#include "pyfacade/call_boundary.hpp"
#include "pyfacade/conversions.hpp"
#include "core_module/interface_text.hpp"
#include "core_module/json_module.hpp"
#include "pyfacade/lookup_error.hpp"
#include "pyfacade/method_table.hpp"
#include "registry/constant_listing.hpp"
#include "support/fault.hpp"

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
    if (const auto* lookup = std::get_if<RegistryError>(&error)) return lookup_error(*lookup, suggest_builtin_name(name));
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
        if (name->empty()) raise_fault(text::kEmptyName);
        auto text = constant_datasheet_json(*name);
        if (!text) return unexpected(datasheet_error(text.error(), *name));
        return json_loads(text->view());
    });
}

}  // namespace

PyMethodDef py_list_constants_def = {"py_list_constants", list_constants, METH_NOARGS, text::kListConstantsDoc};

PyMethodDef py_list_quarks_def = {"py_list_quarks", list_quarks, METH_NOARGS, text::kListQuarksDoc};

PyMethodDef py_get_constant_def = {"py_get_constant", method_entry(get_constant), METH_FASTCALL | METH_KEYWORDS,
                                   text::kGetConstantDoc};

}  // namespace veldra::py
