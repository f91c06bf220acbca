#pragma once
// The datasheet of one registry entry and its JSON text:
// {"name":…,"status":…,"uncertainty":…,"units":…,"value":…}.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "datasheet/json_writer.hpp"
#include "registry/constant.hpp"
#include "registry/registry_error.hpp"
#include "support/expected.hpp"

namespace veldra {

// The five fields, viewing the entry they come from.
struct DatasheetFields {
    std::string_view name;
    ConstantStatus status;
    std::optional<double> uncertainty;
    std::string_view units;
    double value;
};

// Why a datasheet could not be made: the lookup failed, or the text writer did.
using DatasheetError = std::variant<RegistryError, JsonWriteError>;

// The JSON text of a datasheet. A NaN or infinite value or uncertainty is
// written as null.
Expected<std::string, JsonWriteError> datasheet_json(const DatasheetFields& fields);

// The datasheet of `entry`, with `name` as the "name" field.
Expected<std::string, JsonWriteError> datasheet_json(std::string_view name, const Constant& entry);

// Builds a registry for the call, looks `name` up and writes its datasheet.
Expected<std::string, DatasheetError> constant_datasheet_json(std::string_view name);

}  // namespace veldra
