#pragma once
// The built-in catalogue: ten seed constants, then seven formulas, in the
// order in which every registry inserts them.

#include <string>
#include <vector>

#include "constant.hpp"

namespace veldra {

inline constexpr std::size_t kCatalogueSize = 17;

// Fresh records of the 17 built-in entries, in insertion order.
std::vector<Constant> catalogue_entries();

// Shortest plain decimal that reads back to `value`: no exponent, no
// trailing ".0" (246220.0 → "246220", -1.0 → "-1", 1776.86 → "1776.86").
std::string plain_decimal(double value);

}  // namespace veldra
