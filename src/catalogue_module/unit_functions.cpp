// Units texts parsed natively: each call parses its texts afresh, which
// costs less than a cache's lookup would for texts this short.

#include "catalogue_module/unit_functions.hpp"

#include "catalogue_module/catalogue_text.hpp"
#include "catalogue_module/module_state.hpp"
#include "catalogue_module/records.hpp"
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

PyObject* conversion_factor(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        if (nargs != 2) return unexpected(wrong_call(text::kConversionFactorArguments));
        const ModuleState& state = state_in(module);
        VELDRA_TRY(const Unit from, parsed(state, args[0], "from_units"));
        VELDRA_TRY(const Unit to, parsed(state, args[1], "to_units"));
        if (from.dimension != to.dimension) {
            // Both texts were read as UTF-8 already.
            Py_ssize_t from_size = 0, to_size = 0;
            const char* from_text = PyUnicode_AsUTF8AndSize(args[0], &from_size);
            const char* to_text = PyUnicode_AsUTF8AndSize(args[1], &to_size);
            return unexpected(unit_error(state, mismatch_message(std::string_view(from_text, static_cast<std::size_t>(from_size)), from,
                                                                 std::string_view(to_text, static_cast<std::size_t>(to_size)), to)));
        }
        return new_float(veldra::conversion_factor(from, to));
    });
}

}  // namespace

PyMethodDef kUnitFunctions[] = {
    {"units_of", method_entry(units_of), METH_FASTCALL, text::kUnitsOfDoc},
    {"conversion_factor", method_entry(conversion_factor), METH_FASTCALL, text::kConversionFactorDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace veldra::py
