// Units texts parsed natively: each call parses its texts afresh, which
// costs less than a cache's lookup would for texts this short.

#include "catalogue_module/unit_functions.hpp"

#include <array>

#include "catalogue_module/catalogue_access.hpp"
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

// The UTF-8 text of a str: the interpreter's UnicodeEncodeError for a lone surrogate.
PyResult<std::string_view> utf8_of(PyObject* value) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return unexpected(PyError::fetch());
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyError unit_error(const ModuleState& state, const std::string& message) {
    return PyError::format(state.unit_error.get(), "%U", text_object(message).get());
}

// The units of a str, or the UnitError of a text that means none.
PyResult<Unit> parsed(const ModuleState& state, std::string_view text) {
    auto unit = parse_units(text);
    if (!unit) return unexpected(unit_error(state, unit.error().message()));
    return std::move(unit).value();
}

PyError wrong_call(const char* expected) { return PyError::lazy(PyExc_TypeError, expected); }

PyObject* units_of(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (nargs != 1) return unexpected(wrong_call(text::kUnitsOfArguments));
        const ModuleState& state = state_in(module);
        VELDRA_CHECK(check_units_str(args[0], "units"));
        VELDRA_TRY(const std::string_view text, utf8_of(args[0]));
        VELDRA_TRY(const Unit unit, parsed(state, text));
        OwnedRef scale = new_float(unit.scale());
        OwnedRef dimension = text_object(dimension_text(unit.dimension));
        PyObject* fields[] = {scale.get(), dimension.get()};
        OwnedRef units = OwnedRef::steal(PyObject_Vectorcall(state.units_class.get(), fields, 2, nullptr));
        if (!units) return unexpected(PyError::fetch());
        return units;
    });
}

// What takes a value in the units `from_arg` names to those `to_arg` names:
// both checked to be str, then each read in turn, as the reference does.
PyResult<double> factor_between(const ModuleState& state, PyObject* from_arg, PyObject* to_arg) {
    VELDRA_CHECK(check_units_str(from_arg, "from_units"));
    VELDRA_CHECK(check_units_str(to_arg, "to_units"));
    VELDRA_TRY(const std::string_view from_text, utf8_of(from_arg));
    VELDRA_TRY(const Unit from, parsed(state, from_text));
    VELDRA_TRY(const std::string_view to_text, utf8_of(to_arg));
    VELDRA_TRY(const Unit to, parsed(state, to_text));
    if (from.dimension != to.dimension) return unexpected(unit_error(state, mismatch_message(from_text, from, to_text, to)));
    const auto factor = veldra::conversion_factor(from, to);
    if (!factor) {
        return unexpected(unit_error(state, "cannot convert `" + std::string(from_text) + "` to `" + std::string(to_text) +
                                                "`: " + std::string(kFactorBeyond)));
    }
    return *factor;
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
