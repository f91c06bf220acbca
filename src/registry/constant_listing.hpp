#pragma once
// The sorted names of the built-in catalogue, answered from a registry built
// for the call and destroyed before it returns.

#include <string_view>
#include <vector>

namespace veldra {

// The views refer to the catalogue's text, which lives as long as the process.
std::vector<std::string_view> list_constant_names();

}  // namespace veldra
