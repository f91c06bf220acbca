#pragma once
// The built-in entries: ten seed constants, then seven formulas, in the
// order in which every registry inserts them. The rows are immutable and live
// for the whole process, so registries refer to them instead of copying them.

#include <cstddef>
#include <span>
#include <string>

#include "registry/constant.hpp"

namespace veldra {

inline constexpr std::size_t kBuiltinEntryCount = 17;

// The 17 rows in insertion order, made on first use (thread-safe). Raises
// std::bad_alloc if memory runs out then, and builds them again next time.
std::span<const Constant> builtin_entries();

// Shortest plain decimal that reads back to `value`: no exponent, no
// trailing ".0" (246220.0 → "246220", -1.0 → "-1", 1776.86 → "1776.86").
std::string plain_decimal(double value);

}  // namespace veldra
