#include "catalogue.hpp"

#include <array>
#include <charconv>

namespace veldra {

std::string plain_decimal(double value) {
    char digits[400];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
    return std::string(digits, ec == std::errc() ? end : digits);
}

Constant CatalogueEntry::to_constant() const {
    if (!has_expression) return Constant::seed(name, value, units);
    std::vector<std::string> deps(dependencies.begin(), dependencies.end());
    Constant c = Constant::formula(name, expression, units, std::move(deps));
    c.status = status;
    c.value = value;
    return c;
}

namespace {

struct Rows {
    // The number-valued expressions are written from their floats.
    std::string v_higgs = plain_decimal(246220.0);
    std::string h0 = plain_decimal(70.0);
    std::string w0 = plain_decimal(-1.0);
    std::string m_tau = plain_decimal(1776.86);

    static constexpr std::string_view kSterileCheck[] = {"roots_total", "visible_sector"};
    static constexpr std::string_view kNGenSq[] = {"n_gen"};
    static constexpr std::string_view kTopoGenCheck[] = {"chi_eff", "b3"};

    static CatalogueEntry seed(std::string_view name, double value, std::string_view units) {
        return {name, value, units, ConstantStatus::Seed, false, {}, {}};
    }
    static CatalogueEntry formula(std::string_view name, std::string_view expression, std::string_view units,
                                  std::span<const std::string_view> deps) {
        return {name, 0.0, units, ConstantStatus::Pending, true, expression, deps};
    }

    std::array<CatalogueEntry, kCatalogueSize> entries = {
        seed("b3", 24.0, "dimensionless"),
        seed("chi_eff", 72.0, "dimensionless"),
        seed("n_gen", 3.0, "count"),
        seed("roots_total", 288.0, "count"),
        seed("visible_sector", 125.0, "count"),
        seed("sterile_sector", 163.0, "count"),
        seed("phi", 1.618033988749895, "dimensionless"),
        seed("gamma_em", 0.5772156649015329, "dimensionless"),
        seed("jc_constant", 153.0, "count"),
        seed("logic_closure", 288.0, "count"),
        formula("v_higgs_mev", v_higgs, "MeV", {}),
        formula("sterile_check", "roots_total - visible_sector", "count", kSterileCheck),
        formula("n_gen_sq", "n_gen * n_gen", "count", kNGenSq),
        formula("h0_central", h0, "km/s/Mpc", {}),
        formula("w0_central", w0, "dimensionless", {}),
        formula("m_tau_mev", m_tau, "MeV", {}),
        formula("topo_gen_check", "chi_eff / b3", "count", kTopoGenCheck),
    };
};

}  // namespace

std::span<const CatalogueEntry> catalogue() {
    static const Rows rows;
    return rows.entries;
}

}  // namespace veldra
