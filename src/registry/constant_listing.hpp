#pragma once
// The sorted names of the built-in catalogue, answered from a registry built
// for the call and destroyed before it returns.

#include <array>
#include <string_view>

#include "registry/catalogue.hpp"

namespace veldra {

// The views refer to the catalogue's text, which lives as long as the process.
std::array<std::string_view, kCatalogueSize> list_constant_names();

}  // namespace veldra
