#pragma once
// One Standard-Model quark: a fixed record of numbers keyed by name.

#include <cstdint>
#include <string_view>

namespace veldra {

struct Quark {
    std::string_view name;
    double mass_mev = 0.0;     // 246220.0 × mass_ratio
    double mass_ratio = 0.0;   // φ^(−phi_exponent)
    std::uint32_t phi_exponent = 0;
    std::uint8_t generation = 0;
};

}  // namespace veldra
