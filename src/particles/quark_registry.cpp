#include "particles/quark_registry.hpp"

#include <cstdint>

#include "support/hash_keys.hpp"
#include "support/name_order.hpp"

namespace veldra {
namespace {

// Exact stored values, not computed at run time: each ratio lies a few ulp
// below the double nearest φ^(−n), which a run-time pow would not reproduce.
constexpr Quark kStandardModel[kQuarkCount] = {
    {"up", 764.665760128228, 0.003105620015141857, 12, 1},
    {"down", 1237.2551899207474, 0.005024998740641489, 11, 1},
    {"strange", 5241.0970900186985, 0.02128623625220818, 8, 2},
    {"charm", 22201.643549995544, 0.09016994374947422, 5, 2},
    {"bottom", 35923.013870002665, 0.14589803375031543, 4, 3},
    {"top", 246220.0, 1.0, 0, 3},
};

}  // namespace

QuarkRegistry::QuarkRegistry() : keys_(next_map_keys()) {}

QuarkRegistry QuarkRegistry::standard_model() {
    QuarkRegistry registry;
    registry.quarks_.reserve(std::size(kStandardModel));
    registry.fill_standard_model();
    return registry;
}

QuarkRegistry QuarkRegistry::standard_model(CallRoom& room) {
    QuarkRegistry registry;
    registry.quarks_.adopt(room.bytes, CallRoom::kCapacity);
    registry.fill_standard_model();
    return registry;
}

void QuarkRegistry::fill_standard_model() {
    for (const Quark& quark : kStandardModel) quarks_.insert(hash_name(keys_, quark.name), quark.name, &quark);
}

const Quark* QuarkRegistry::find(std::string_view name) const noexcept {
    const auto* entry = quarks_.find(hash_name(keys_, name), name);
    return entry ? entry->value : nullptr;
}

std::array<std::string_view, kQuarkCount> list_quark_names() {
    // Byte-order place of each standard-model row's name, worked out once.
    static const auto ranks = [] {
        std::array<std::string_view, kQuarkCount> names;
        for (std::size_t i = 0; i < kQuarkCount; ++i) names[i] = kStandardModel[i].name;
        return byte_order_ranks(names);
    }();
    std::array<std::string_view, kQuarkCount> sorted;
    // The names come from a registry built for this call, not from the table
    // directly: the listing answers what a fresh registry holds. Each entry
    // is a row of the table under its own name, each row once.
    QuarkRegistry::CallRoom room;
    QuarkRegistry::standard_model(room).for_each(
        [&](std::string_view name, const Quark& row) { sorted[ranks[&row - kStandardModel]] = name; });
    return sorted;
}

}  // namespace veldra
