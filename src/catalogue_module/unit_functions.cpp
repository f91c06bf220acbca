// Units texts parsed natively: each call parses its texts afresh, which
// costs less than a cache's lookup would for texts this short.

#include "catalogue_module/unit_functions.hpp"

#include <array>

#include "catalogue_module/catalogue_text.hpp"
#include "catalogue_module/module_state.hpp"
#include "catalogue_module/records.hpp"
#include "pyfacade/arg_parser.hpp"
#include "pyfacade/call_boundary.hpp"
#include "pyfacade/conversions.hpp"
#include "pyfacade/method_table.hpp"
#include "units/units.hpp"

namespace veldra::py {
namespace {

const ModuleState& state_in(PyObject* module) noexcept { return *static_cast<const ModuleState*>(PyModule_GetState(module)); }

// The text of a units argument: TypeError for a non-str, the interpreter's
// UnicodeEncodeError for a lone surrogate.
PyResult<std::string_view> units_text(PyObject* value, const char* parameter) {
    if (!PyUnicode_Check(value)) {
        OwnedRef type_name = OwnedRef::steal(PyType_GetName(Py_TYPE(value)));
        if (!type_name) return unexpected(PyError::fetch());
        return unexpected(PyError::format(PyExc_TypeError, text::kUnitsNotStr, parameter, type_name.get()));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return unexpected(PyError::fetch());
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyError unit_error(const ModuleState& state, const std::string& message) {
    return PyError::format(state.unit_error.get(), "%U", text_object(message).get());
}

PyResult<Unit> parsed(const ModuleState& state, PyObject* value, const char* parameter) {
    VELDRA_TRY(const std::string_view text, units_text(value, parameter));
    auto unit = parse_units(text);
    if (!unit) return unexpected(unit_error(state, unit.error().message()));
    return std::move(unit).value();
}

PyError wrong_call(const char* expected) { return PyError::lazy(PyExc_TypeError, expected); }

PyObject* units_of(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (nargs != 1) return unexpected(wrong_call(text::kUnitsOfArguments));
        const ModuleState& state = state_in(module);
        VELDRA_TRY(const Unit unit, parsed(state, args[0], "units"));
        OwnedRef scale = new_float(unit.scale());
        OwnedRef dimension = text_object(dimension_text(unit.dimension));
        PyObject* fields[] = {scale.get(), dimension.get()};
        OwnedRef units = OwnedRef::steal(PyObject_Vectorcall(state.units_class.get(), fields, 2, nullptr));
        if (!units) return unexpected(PyError::fetch());
        return units;
    });
}

// What takes a value in the units `from_arg` names to those `to_arg` names.
PyResult<double> factor_between(const ModuleState& state, PyObject* from_arg, PyObject* to_arg) {
    VELDRA_TRY(const std::string_view from_text, units_text(from_arg, "from_units"));
    VELDRA_TRY(const std::string_view to_text, units_text(to_arg, "to_units"));
    auto from = parse_units(from_text);
    if (!from) return unexpected(unit_error(state, from.error().message()));
    auto to = parse_units(to_text);
    if (!to) return unexpected(unit_error(state, to.error().message()));
    if (from->dimension != to->dimension) return unexpected(unit_error(state, mismatch_message(from_text, *from, to_text, *to)));
    return veldra::conversion_factor(*from, *to);
}

constexpr std::array<const char*, 3> kConvertParams{"value", "from_units", "to_units"};
const Signature kConvertSignature{"convert()", kConvertParams};

// value * the factor, as the reference multiplies: any number, or anything
// that multiplies by a float (a NumPy array), keeps its own arithmetic.
PyObject* convert(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        PyObject* given[3] = {nullptr, nullptr, nullptr};
        if (auto error = parse_vector_args(kConvertSignature, args, nargs, kwnames, given)) return unexpected(std::move(*error));
        VELDRA_TRY(const double factor, factor_between(state_in(module), given[1], given[2]));
        OwnedRef factor_object = new_float(factor);
        OwnedRef product = OwnedRef::steal(PyNumber_Multiply(given[0], factor_object.get()));
        if (!product) return unexpected(PyError::fetch());
        return product;
    });
}

}  // namespace

PyMethodDef kUnitFunctions[] = {
    {"units_of", method_entry(units_of), METH_FASTCALL, text::kUnitsOfDoc},
    {"convert", method_entry(convert), METH_FASTCALL | METH_KEYWORDS, text::kConvertDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace veldra::py
