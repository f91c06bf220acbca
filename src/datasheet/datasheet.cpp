#include "datasheet/datasheet.hpp"

#include <cstring>

#include "registry/formulas_registry.hpp"

namespace veldra {
namespace {

// The text's fixed pieces: the keys in byte order with their punctuation.
constexpr std::string_view kNameKey = R"({"name":)";
constexpr std::string_view kStatusKey = R"(,"status":)";
constexpr std::string_view kUncertaintyKey = R"(,"uncertainty":)";
constexpr std::string_view kUnitsKey = R"(,"units":)";
constexpr std::string_view kValueKey = R"(,"value":)";
constexpr std::string_view kNull = "null";

char* put_piece(char* p, std::string_view piece) noexcept {
    std::memcpy(p, piece.data(), piece.size());
    return p + piece.size();
}

}  // namespace

DatasheetText::DatasheetText(const DatasheetFields& fields) {
    const std::string_view status = status_text(fields.status);
    const std::size_t most = kNameKey.size() + kStatusKey.size() + kUncertaintyKey.size() + kUnitsKey.size() +
                             kValueKey.size() + 1 + json_string_bytes(fields.name) + json_string_bytes(status) +
                             json_string_bytes(fields.units) + 2 * kNumberScratch;
    char* start = inline_;
    if (most > kInline) {
        heap_ = std::make_unique<char[]>(most);
        start = heap_.get();
    }
    char* p = put_piece(start, kNameKey);
    p = put_json_string(p, fields.name);
    p = put_piece(p, kStatusKey);
    p = put_json_string(p, status);
    p = put_piece(p, kUncertaintyKey);
    // No uncertainty is null, as is a NaN or infinite one (the number writer's rule).
    p = fields.uncertainty ? put_json_number(p, *fields.uncertainty) : put_piece(p, kNull);
    p = put_piece(p, kUnitsKey);
    p = put_json_string(p, fields.units);
    p = put_piece(p, kValueKey);
    p = put_json_number(p, fields.value);
    *p++ = '}';
    size_ = static_cast<std::size_t>(p - start);
}

Expected<DatasheetText, JsonWriteError> datasheet_json(const DatasheetFields& fields) {
    return DatasheetText(fields);
}

Expected<DatasheetText, JsonWriteError> datasheet_json(std::string_view name, const Constant& entry) {
    return datasheet_json({name, entry.status, entry.uncertainty, entry.units, entry.value});
}

Expected<DatasheetText, DatasheetError> constant_datasheet_json(std::string_view name) {
    // A registry of its own for every call, as the datasheet promises: no
    // registry, entry or text outlives the call.
    FormulasRegistry::CallRoom room;
    const Constant* entry = FormulasRegistry(room).find(name);
    if (entry == nullptr) return unexpected(DatasheetError(RegistryError::not_found(name)));
    auto text = datasheet_json(name, *entry);
    if (!text) return unexpected(DatasheetError(std::move(text).error()));
    return std::move(text).value();
}

}  // namespace veldra
