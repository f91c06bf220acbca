#include "registry/builtin_entries.hpp"

#include <array>
#include <charconv>

namespace veldra {

std::string plain_decimal(double value) {
    char digits[400];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
    return std::string(digits, ec == std::errc() ? end : digits);
}

std::span<const Constant> builtin_entries() {
    // The number-valued expressions are written from their floats.
    static const std::array<Constant, kBuiltinEntryCount> rows = {
        Constant::seed("b3", 24.0, "dimensionless"),
        Constant::seed("chi_eff", 72.0, "dimensionless"),
        Constant::seed("n_gen", 3.0, "count"),
        Constant::seed("roots_total", 288.0, "count"),
        Constant::seed("visible_sector", 125.0, "count"),
        Constant::seed("sterile_sector", 163.0, "count"),
        Constant::seed("phi", 1.618033988749895, "dimensionless"),
        Constant::seed("gamma_em", 0.5772156649015329, "dimensionless"),
        Constant::seed("jc_constant", 153.0, "count"),
        Constant::seed("logic_closure", 288.0, "count"),
        Constant::formula("v_higgs_mev", plain_decimal(246220.0), "MeV", {}),
        Constant::formula("sterile_check", "roots_total - visible_sector", "count", {"roots_total", "visible_sector"}),
        Constant::formula("n_gen_sq", "n_gen * n_gen", "count", {"n_gen"}),
        Constant::formula("h0_central", plain_decimal(70.0), "km/s/Mpc", {}),
        Constant::formula("w0_central", plain_decimal(-1.0), "dimensionless", {}),
        Constant::formula("m_tau_mev", plain_decimal(1776.86), "MeV", {}),
        Constant::formula("topo_gen_check", "chi_eff / b3", "count", {"chi_eff", "b3"}),
    };
    return rows;
}

}  // namespace veldra
