#pragma once
// The three Python classes, each a type made once per process.

#include "wrapped_object.hpp"

namespace veldra::py {

TypeCell& formulas_registry_class() noexcept;
TypeCell& quark_registry_class() noexcept;
TypeCell& ckm_matrix_class() noexcept;

// The version text of the module and of PyFormulasRegistry.version().
inline constexpr char kVersion[] = "2.3.0";

}  // namespace veldra::py
