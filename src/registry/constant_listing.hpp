#pragma once
// The sorted names of the built-in catalogue, answered from a registry built
// for the call and destroyed before it returns.

#include <string>
#include <vector>

namespace veldra {

std::vector<std::string> list_constant_names();

}  // namespace veldra
