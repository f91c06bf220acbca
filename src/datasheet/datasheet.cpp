#include "datasheet/datasheet.hpp"

#include <cmath>

#include "registry/formulas_registry.hpp"

namespace veldra {
namespace {

JsonValue number_or_null(std::optional<double> x) {
    if (!x || !std::isfinite(*x)) return JsonNull{};
    return *x;
}

}  // namespace

Expected<std::string, JsonWriteError> datasheet_json(const DatasheetFields& fields) {
    const JsonMember members[] = {
        {"name", fields.name},
        {"status", status_text(fields.status)},
        {"uncertainty", number_or_null(fields.uncertainty)},
        {"units", fields.units},
        {"value", number_or_null(fields.value)},
    };
    return write_json_object(members);
}

Expected<std::string, JsonWriteError> datasheet_json(std::string_view name, const Constant& entry) {
    return datasheet_json({name, entry.status, entry.uncertainty, entry.units, entry.value});
}

Expected<std::string, DatasheetError> constant_datasheet_json(std::string_view name) {
    // A registry of its own for every call, as the datasheet promises: no
    // registry, entry or text outlives the call.
    const Constant* entry = FormulasRegistry().find(name);
    if (entry == nullptr) return unexpected(DatasheetError(RegistryError::not_found(name)));
    auto text = datasheet_json(name, *entry);
    if (!text) return unexpected(DatasheetError(std::move(text).error()));
    return std::move(text).value();
}

}  // namespace veldra
