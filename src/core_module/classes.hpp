#pragma once
// The three Python classes, each a type made once per process.

#include "pyfacade/wrapped_object.hpp"

namespace veldra::py {

TypeCell& formulas_registry_class() noexcept;
TypeCell& quark_registry_class() noexcept;
TypeCell& ckm_matrix_class() noexcept;

}  // namespace veldra::py
