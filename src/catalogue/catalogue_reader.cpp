// Reading the file format into a CatalogueBuilder: the top level, then each
// entry's fields in file order, with the pure twin's words for every problem
// (_top_level, _draft_from_json and _json_field in ostrelin/_pycatalogue.py).

#include "catalogue/catalogue_reader.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "catalogue/catalogue_builder.hpp"
#include "catalogue/file_format.hpp"

namespace veldra {
namespace {

constexpr const auto& kFields = kEntryFields;
enum Field { kName, kValue, kUnits, kUncertainty, kStatus, kExpression, kDependencies, kDescription, kSymbol };
enum TopField { kFormatField, kVersionField, kDescriptionField, kUnitsField, kCorrelationsField, kConstantsField };

std::string not_a(std::string_view field, std::string_view expected, JsonElement value) {
    return ticked(field) + " must be " + std::string(expected) + ", not " + std::string(kind_name(value.kind()));
}

int field_of(std::string_view key) {
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        if (kFields[i] == key) return static_cast<int>(i);
    }
    return -1;
}

// `value` or `uncertainty` (null allowed) into `fields`, or what is wrong.
std::optional<std::string> read_number_field(int field, JsonElement value, EntryFields& fields) {
    const std::string_view name = kFields[field];
    const JsonKind kind = value.kind();
    if (field == kUncertainty && kind == JsonKind::Null) {
        fields.uncertainty.reset();
        return std::nullopt;
    }
    if (kind != JsonKind::Number) return not_a(name, field == kValue ? "a number" : "a number or null", value);
    const JsonNumber number = value.number();
    if (number.too_large) return ticked(name) + " is too large for a double";
    if (field == kValue) {
        fields.value = number.value;
        return std::nullopt;
    }
    if (number.value < 0) return "`uncertainty` must not be negative";
    fields.uncertainty = number.value;
    return std::nullopt;
}

// `dependencies`, an array of strings, into `fields`, or what is wrong.
std::optional<std::string> read_dependencies(JsonElement value, EntryFields& fields) {
    if (value.kind() != JsonKind::Array) return not_a("dependencies", "an array of strings", value);
    auto& listed = fields.dependencies.emplace();
    std::optional<std::string> problem;
    value.for_each_element([&](JsonElement item) {
        if (item.kind() != JsonKind::String) {
            problem = "item " + std::to_string(listed.size()) + " of `dependencies` must be a string, not " +
                      std::string(kind_name(item.kind()));
            return false;
        }
        listed.push_back(item.string());
        return true;
    });
    return problem;
}

// A field whose value is a string (name, units, status, expression,
// description) into `fields`, or what is wrong.
std::optional<std::string> read_text_field(int field, JsonElement value, EntryFields& fields) {
    if (value.kind() != JsonKind::String) return not_a(kFields[field], "a string", value);
    const std::string_view text = value.string();
    switch (field) {
        case kName:
            if (text.empty()) return "`name` must not be empty";
            fields.name = text;
            break;
        case kUnits: fields.units = text; break;
        case kStatus:
            fields.status = status_named(text);
            if (!fields.status) return "`status` must be Seed, Cached, Pending or External, not " + ticked(text);
            break;
        case kExpression: fields.expression = text; break;
        case kSymbol: fields.symbol = text; break;
        default: fields.description = text; break;
    }
    return std::nullopt;
}

// One member of an entry into `fields`, or what is wrong with it.
std::optional<std::string> read_field(int field, JsonElement value, EntryFields& fields) {
    switch (field) {
        case kValue:
        case kUncertainty: return read_number_field(field, value, fields);
        case kDependencies: return read_dependencies(value, fields);
        default: return read_text_field(field, value, fields);
    }
}

// The name a note about this entry shows: its first "name" member, when that
// is a non-empty string.
std::string_view label_of(JsonElement entry) {
    std::string_view label;
    entry.for_each_member([&](std::string_view key, JsonElement value) {
        if (key != "name") return true;
        if (value.kind() == JsonKind::String) label = value.string();
        return false;
    });
    return label;
}

// Reads entry `index` into the builder; false once an entry is refused.
bool read_entry(CatalogueBuilder& builder, std::size_t index, JsonElement entry) {
    if (entry.kind() != JsonKind::Object) {
        builder.refuse(entry_note(index, {}, "must be an object, not " + std::string(kind_name(entry.kind()))));
        return false;
    }
    EntryFields fields;
    std::uint32_t seen = 0;
    std::optional<std::string> problem;
    entry.for_each_member([&](std::string_view key, JsonElement value) {
        const int field = field_of(key);
        if (field < 0) {
            problem = "unknown field " + ticked(key);
        } else if (seen & (1u << field)) {
            problem = "field " + ticked(key) + " is repeated";
        } else {
            seen |= 1u << field;
            problem = read_field(field, value, fields);
        }
        return !problem;
    });
    if (!problem) {
        for (Field required : {kName, kUnits}) {
            if (!(seen & (1u << required))) {
                problem = "missing field " + ticked(kFields[required]);
                break;
            }
        }
    }
    if (problem) {
        builder.refuse(entry_note(index, label_of(entry), *problem));
        return false;
    }
    return builder.add(fields);
}

// An item of `correlations`: [name, name, number], else no names.
CorrelationFields correlation_of(JsonElement item) {
    CorrelationFields fields;
    if (item.kind() != JsonKind::Array || item.size() != 3) return fields;
    std::size_t at = 0;
    bool well_formed = true;
    std::string_view names[2];
    item.for_each_element([&](JsonElement part) {
        if (at < 2) {
            well_formed = well_formed && part.kind() == JsonKind::String;
            if (well_formed) names[at] = part.string();
        } else if (part.kind() != JsonKind::Number) {
            well_formed = false;
        } else {
            const JsonNumber number = part.number();
            fields.r = number.too_large ? std::nan("") : number.value;
        }
        ++at;
        return well_formed;
    });
    if (well_formed) {
        fields.first = names[0];
        fields.second = names[1];
    }
    return fields;
}

// What the top level holds besides its fixed words.
struct TopLevel {
    int version = 1;
    std::string_view description;
    std::optional<JsonElement> units;
    std::optional<JsonElement> correlations;
    std::optional<JsonElement> constants;
};

// One top-level member into `top`, or what is wrong with it.
std::optional<std::string> read_top_field(int field, JsonElement value, TopLevel& top) {
    const JsonKind kind = value.kind();
    if (field == kFormatField && !(kind == JsonKind::String && value.string() == kFormatName)) {
        return "`format` must be \"" + std::string(kFormatName) + "\"";
    }
    if (field == kVersionField) {
        const auto known = std::find_if(kFormatVersions.begin(), kFormatVersions.end(), [&](int version) {
            return kind == JsonKind::Number && value.number().value == version;
        });
        if (known == kFormatVersions.end()) return "`version` must be 1 or 2";
        top.version = *known;
    } else if (field == kUnitsField) {
        if (kind != JsonKind::Object) return not_a("units", "an object", value);
        top.units = value;
    } else if (field == kCorrelationsField) {
        if (kind != JsonKind::Array) return not_a("correlations", "an array", value);
        top.correlations = value;
    } else if (field == kDescriptionField) {
        if (kind != JsonKind::String) return not_a("description", "a string", value);
        top.description = value.string();
    } else if (field == kConstantsField) {
        if (kind != JsonKind::Array) return not_a("constants", "an array", value);
        top.constants = value;
    }
    return std::nullopt;
}

// The members of the top level (an object) into `top`, in file order, then
// whether every required one was there; the first problem, if any.
std::optional<std::string> read_top_level(JsonElement root, TopLevel& top) {
    std::uint32_t seen = 0;
    std::optional<std::string> problem;
    root.for_each_member([&](std::string_view key, JsonElement value) {
        int field = -1;
        for (std::size_t i = 0; i < kTopFields.size(); ++i) {
            if (kTopFields[i] == key) field = static_cast<int>(i);
        }
        if (field < 0) {
            problem = "unknown top-level field " + ticked(key);
        } else if (seen & (1u << field)) {
            problem = "top-level field " + ticked(key) + " is repeated";
        } else {
            seen |= 1u << field;
            problem = read_top_field(field, value, top);
        }
        return !problem;
    });
    if (problem) return problem;
    for (TopField required : {kFormatField, kVersionField, kConstantsField}) {
        if (!(seen & (1u << required))) return "missing top-level field " + ticked(kTopFields[required]);
    }
    if (top.units && top.version == 1) return "top-level field `units` needs version 2";
    if (top.correlations && top.version == 1) return "top-level field `correlations` needs version 2";
    return std::nullopt;
}

}  // namespace

Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure> read_catalogue(const JsonDocument& document,
                                                                            std::string_view source,
                                                                            const CatalogueStore* base) {
    const JsonElement root = document.root();
    if (root.kind() != JsonKind::Object) {
        return unexpected(schema_failure(
            source, "the top level must be an object, not " + std::string(kind_name(root.kind()))));
    }
    TopLevel top;
    if (auto problem = read_top_level(root, top)) return unexpected(schema_failure(source, std::move(*problem)));

    CatalogueBuilder builder(source, base, top.version);
    if (top.units) {
        std::optional<CatalogueFailure> failure;
        top.units->for_each_member([&](std::string_view name, JsonElement value) {
            if (value.kind() != JsonKind::Null && value.kind() != JsonKind::String) {
                failure = schema_failure(source, "unit " + ticked(name) + " must be a units text or null, not " +
                                                     std::string(kind_name(value.kind())));
            } else {
                failure = builder.declare_unit(name, value.kind() == JsonKind::Null ? std::nullopt
                                                                                  : std::optional(value.string()));
            }
            return !failure;
        });
        if (failure) return unexpected(std::move(*failure));
    }
    builder.reserve(top.constants->size());
    std::size_t index = 0;
    top.constants->for_each_element([&](JsonElement entry) { return read_entry(builder, index++, entry); });
    if (top.correlations) top.correlations->for_each_element([&](JsonElement item) {
        builder.add_correlation(correlation_of(item));
        return true;
    });
    return std::move(builder).finish(std::string(top.description));
}

CatalogueFailure text_too_long(std::string_view source) {
    return schema_failure(source, position_note({}, 0, kTextTooLong));
}

Expected<std::unique_ptr<CatalogueStore>, CatalogueFailure> load_catalogue(const PaddedText& padded,
                                                                            std::string_view source,
                                                                            const CatalogueStore* base,
                                                                            bool strip_bom) {
    std::string_view text = padded.view();
    if (strip_bom && text.starts_with("\xef\xbb\xbf")) text.remove_prefix(3);
    auto document = JsonDocument::parse(text, kMaxJsonDepth);
    if (!document) {
        const JsonTextProblem& problem = document.error();
        return unexpected(schema_failure(source, position_note(text, problem.offset, problem.what)));
    }
    return read_catalogue(*document, source, base);
}

}  // namespace veldra
