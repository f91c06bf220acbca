#pragma once
// The datasheet of one registry entry and its JSON text:
// {"name":…,"status":…,"uncertainty":…,"units":…,"value":…}.

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "json/json_writer.hpp"
#include "registry/constant.hpp"
#include "lookup/registry_error.hpp"
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

// The JSON text of one datasheet in storage of its own: inline whenever the
// fields would fit even with every byte escaped (as every catalogue entry's
// do; their texts take 79 to 105 bytes), else on the heap. The text lives
// only for the call that hands it to the interpreter, so it never needs a
// string of its own.
class DatasheetText {
public:
    explicit DatasheetText(const DatasheetFields& fields);
    DatasheetText(DatasheetText&& other) noexcept : heap_(std::move(other.heap_)), size_(other.size_) {
        if (!heap_) std::memcpy(inline_, other.inline_, size_);  // the text, not the whole buffer
    }
    DatasheetText& operator=(DatasheetText&&) = delete;

    std::string_view view() const noexcept { return {heap_ ? heap_.get() : inline_, size_}; }

private:
    static constexpr std::size_t kInline = 512;
    char inline_[kInline];
    std::unique_ptr<char[]> heap_;
    std::size_t size_ = 0;
};

// The JSON text of a datasheet. A NaN or infinite value or uncertainty is
// written as null.
Expected<DatasheetText, JsonWriteError> datasheet_json(const DatasheetFields& fields);

// The datasheet of `entry`, with `name` as the "name" field.
Expected<DatasheetText, JsonWriteError> datasheet_json(std::string_view name, const Constant& entry);

// Builds a registry for the call, looks `name` up and writes its datasheet.
Expected<DatasheetText, DatasheetError> constant_datasheet_json(std::string_view name);

}  // namespace veldra
