#pragma once
// The sorted names of the built-in entries, answered from a registry built
// for the call and destroyed before it returns, and the hint for a name
// that is none of them.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "registry/builtin_entries.hpp"

namespace veldra {

// The views refer to the entries' text, which lives as long as the process.
std::array<std::string_view, kBuiltinEntryCount> list_constant_names();

// suggest_name against the built-in entries' names.
std::optional<std::string> suggest_builtin_name(std::string_view name);

}  // namespace veldra
