#include "catalogue/catalogue_error.hpp"

#include "json/json_reader.hpp"

namespace veldra {

CatalogueFailure schema_failure(std::string_view source, std::string note) {
    return {RegistryError{InvalidSchema{std::string(source)}}, std::move(note), {}};
}

CatalogueFailure units_failure(std::string_view source, std::string note) {
    return {RegistryError{InvalidSchema{std::string(source)}}, std::move(note), "invalid units in " + ticked(source)};
}

CatalogueFailure correlations_failure(std::string_view source, std::string note) {
    return {RegistryError{InvalidSchema{std::string(source)}}, std::move(note),
            "invalid correlations in " + ticked(source)};
}

CatalogueFailure dimension_failure(std::string_view name, std::string note) {
    return {RegistryError{InvalidSchema{std::string(name)}}, std::move(note), "dimension error in " + ticked(name)};
}

CatalogueFailure parse_failure(std::string_view name, std::string detail) {
    return {RegistryError{ParseError{std::string(name), std::move(detail)}}, {}, {}};
}

std::string position_note(std::string_view text, std::size_t offset, std::string_view what) {
    const TextPosition at = position_of(text, offset);
    return "line " + std::to_string(at.line) + ", column " + std::to_string(at.column) + ": " + std::string(what);
}

std::string ticked(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '`';
    out += text;
    out += '`';
    return out;
}

std::string entry_note(std::size_t index, std::string_view name, std::string_view what) {
    std::string note = "entry " + std::to_string(index);
    if (!name.empty()) {
        note += " (";
        note += ticked(name);
        note += ')';
    }
    note += ": ";
    note += what;
    return note;
}

std::string_view kind_name(JsonKind kind) noexcept {
    switch (kind) {
        case JsonKind::Null: return "null";
        case JsonKind::Boolean: return "a boolean";
        case JsonKind::Number: return "a number";
        case JsonKind::String: return "a string";
        case JsonKind::Array: return "an array";
        case JsonKind::Object: return "an object";
    }
    return "a value";
}

}  // namespace veldra
