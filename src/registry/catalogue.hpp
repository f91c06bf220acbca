#pragma once
// The built-in catalogue: ten seed constants, then seven formulas, in the
// order in which every registry inserts them. The rows are immutable and live
// for the whole process, so registries refer to them instead of copying them.

#include <span>
#include <string>
#include <string_view>

#include "constant.hpp"

namespace veldra {

inline constexpr std::size_t kCatalogueSize = 17;

struct CatalogueEntry {
    std::string_view name;
    double value;
    std::string_view units;
    ConstantStatus status;
    bool has_expression;
    std::string_view expression;
    std::span<const std::string_view> dependencies;

    // A deep copy as an owned record.
    Constant to_constant() const;
};

// The 17 rows in insertion order, made on first use (thread-safe).
std::span<const CatalogueEntry> catalogue();

// Shortest plain decimal that reads back to `value`: no exponent, no
// trailing ".0" (246220.0 → "246220", -1.0 → "-1", 1776.86 → "1776.86").
std::string plain_decimal(double value);

}  // namespace veldra
