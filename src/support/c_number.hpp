#pragma once
// Reading a decimal number whatever the process's locale: strtod honours
// the locale's decimal point, which a host program may have changed, so the
// readers parse in a "C" locale of their own.

#include <string>

namespace veldra {

// strtod of `text` (NUL-terminated) in the "C" locale: correctly rounded,
// ±inf when too large. Throws std::bad_alloc if that locale cannot be made.
double c_strtod(const std::string& text);

}  // namespace veldra
