#include "datasheet.hpp"

#include <cmath>

#include "formulas_registry.hpp"

namespace veldra {
namespace {

JsonValue number_or_null(std::optional<double> x) {
    if (!x || !std::isfinite(*x)) return JsonNull{};
    return *x;
}

}  // namespace

Expected<std::string, JsonWriteError> datasheet_json(std::string_view name, const Constant& entry) {
    const JsonMember members[] = {
        {"name", name},
        {"status", status_text(entry.status)},
        {"uncertainty", number_or_null(entry.uncertainty)},
        {"units", std::string_view(entry.units)},
        {"value", number_or_null(entry.value)},
    };
    return write_json_object(members);
}

Expected<std::string, DatasheetError> constant_datasheet_json(std::string_view name) {
    FormulasRegistry registry;
    auto entry = registry.get(name);
    if (!entry) return unexpected(DatasheetError(std::move(entry).error()));
    auto text = datasheet_json(name, *entry);
    if (!text) return unexpected(DatasheetError(std::move(text).error()));
    return std::move(text).value();
}

}  // namespace veldra
