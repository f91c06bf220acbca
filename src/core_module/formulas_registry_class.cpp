// PyFormulasRegistry: a FormulasRegistry of its own, built complete by the
// constructor and read by get() and len().

#include <array>

#include "pyfacade/arg_parser.hpp"
#include "core_module/classes.hpp"
#include "pyfacade/conversions.hpp"
#include "core_module/interface_text.hpp"
#include "pyfacade/lookup_error.hpp"
#include "pyfacade/method_table.hpp"
#include "registry/constant_listing.hpp"
#include "registry/formulas_registry.hpp"

namespace veldra::py {
namespace {

using Self = Wrapped<FormulasRegistry>;

constexpr std::array<const char*, 0> kNoParams{};
constexpr std::array<const char*, 1> kNameParam{"name"};
const Signature kNewSignature{"PyFormulasRegistry.__new__()", kNoParams};
const Signature kGetSignature{"PyFormulasRegistry.get()", kNameParam};

PyObject* registry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (auto error = parse_tuple_args(kNewSignature, args, kwargs, nullptr)) return unexpected(std::move(*error));
        return wrap_value(type, FormulasRegistry());
    });
}

// The usual call, one exact ASCII str by position on a registry made by the
// constructor, reads the row straight from the argument's bytes. It takes no
// borrow: nothing between these checks and the lookup can run Python code,
// and the caller holds `self` for the whole call. Null sends the call down
// the full path, which also reports every error (a miss included).
const Constant* find_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 1 || kwnames != nullptr) return nullptr;
    PyObject* name = args[0];
    if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_COMPACT_ASCII(name)) return nullptr;
    if (Py_TYPE(self) != formulas_registry_class().existing()) return nullptr;
    const auto* wrapped = reinterpret_cast<const Self*>(self);
    if (!wrapped->made || wrapped->borrow == -1) return nullptr;
    return wrapped->value.find(std::string_view(static_cast<const char*>(PyUnicode_DATA(name)),
                                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(name))));
}

PyObject* registry_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (const Constant* found = find_fast(self, args, nargs, kwnames)) return new_float(found->value);
        PyObject* name_arg = nullptr;
        if (auto error = parse_vector_args(kGetSignature, args, nargs, kwnames, &name_arg)) {
            return unexpected(std::move(*error));
        }
        auto borrowed = Borrowed<FormulasRegistry>::take(self, formulas_registry_class());
        if (!borrowed) return unexpected(std::move(borrowed).error());
        auto name = text_argument(name_arg, "name");
        if (!name) return unexpected(std::move(name).error());
        auto value = borrowed->value().value(*name);
        if (!value) return unexpected(lookup_error(value.error(), suggest_builtin_name(*name)));
        return new_float(*value);
    });
}

PyObject* registry_version(PyObject*, PyObject*) {
    return call_boundary([]() -> PyResult<OwnedRef> { return new_str(text::kVersion); });
}

Py_ssize_t registry_len(PyObject* self) {
    return length_boundary([&]() -> PyResult<Py_ssize_t> {
        auto borrowed = Borrowed<FormulasRegistry>::take(self, formulas_registry_class());
        if (!borrowed) return unexpected(std::move(borrowed).error());
        return checked_length(borrowed->value().len());
    });
}

PyMethodDef kMethods[] = {
    {"get", method_entry(registry_get), METH_FASTCALL | METH_KEYWORDS, text::kRegistryGetDoc},
    {"version", registry_version, METH_STATIC | METH_NOARGS, text::kRegistryVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kSpec{
    "ostrelin._veldra_core.PyFormulasRegistry",
    "PyFormulasRegistry",
    text::kRegistryDoc,
    "PyFormulasRegistry()",
    static_cast<int>(sizeof(Self)),
    dealloc_wrapped<FormulasRegistry>,
    registry_new,
    registry_len,
    kMethods,
};

}  // namespace

TypeCell& formulas_registry_class() noexcept {
    static TypeCell cell(kSpec);
    return cell;
}

}  // namespace veldra::py
