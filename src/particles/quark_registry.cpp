#include "quark_registry.hpp"

#include <cstdint>

#include "hash_keys.hpp"
#include "name_order.hpp"

namespace veldra {
namespace {

struct QuarkRow {
    const char* name;
    std::uint32_t phi_exponent;
    std::uint8_t generation;
    double mass_ratio;
    double mass_mev;
};

// Exact stored values, not computed at run time: each ratio lies a few ulp
// below the double nearest φ^(−n), which a run-time pow would not reproduce.
constexpr QuarkRow kStandardModel[] = {
    {"up", 12, 1, 0.003105620015141857, 764.665760128228},
    {"down", 11, 1, 0.005024998740641489, 1237.2551899207474},
    {"strange", 8, 2, 0.02128623625220818, 5241.0970900186985},
    {"charm", 5, 2, 0.09016994374947422, 22201.643549995544},
    {"bottom", 4, 3, 0.14589803375031543, 35923.013870002665},
    {"top", 0, 3, 1.0, 246220.0},
};

}  // namespace

QuarkRegistry::QuarkRegistry() : keys_(next_map_keys()) {}

QuarkRegistry QuarkRegistry::standard_model() {
    QuarkRegistry registry;
    for (const QuarkRow& row : kStandardModel) {
        registry.insert(Quark{row.name, row.mass_mev, row.mass_ratio, row.phi_exponent, row.generation});
    }
    return registry;
}

void QuarkRegistry::insert(Quark quark) {
    std::string key = quark.name;
    const auto h = hash_name(keys_, key);
    quarks_.insert(h, std::move(key), std::move(quark));
}

const Quark* QuarkRegistry::find(std::string_view name) const noexcept {
    const auto* entry = quarks_.find(hash_name(keys_, name), name);
    return entry ? &entry->value : nullptr;
}

std::vector<std::string> QuarkRegistry::names() const {
    std::vector<std::string> out;
    out.reserve(quarks_.size());
    quarks_.for_each([&out](const auto& entry) { out.push_back(entry.key); });
    return out;
}

std::vector<std::string> list_quark_names() {
    std::vector<std::string> names = QuarkRegistry::standard_model().names();
    sort_names(names);
    return names;
}

}  // namespace veldra
