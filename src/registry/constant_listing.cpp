#include "registry/constant_listing.hpp"

#include "lookup/name_suggestion.hpp"
#include "registry/formulas_registry.hpp"
#include "support/name_order.hpp"

namespace veldra {
namespace {

// Byte-order place of each catalogue row's name, worked out on first use.
const std::array<std::uint8_t, kBuiltinEntryCount>& row_ranks() {
    static const auto ranks = [] {
        std::array<std::string_view, kBuiltinEntryCount> names;
        const auto rows = builtin_entries();
        for (std::size_t i = 0; i < kBuiltinEntryCount; ++i) names[i] = rows[i].name;
        return byte_order_ranks(names);
    }();
    return ranks;
}

}  // namespace

std::array<std::string_view, kBuiltinEntryCount> list_constant_names() {
    const auto& ranks = row_ranks();
    const Constant* first_row = builtin_entries().data();
    std::array<std::string_view, kBuiltinEntryCount> sorted;
    // The names come from a registry built for this call, not from the
    // catalogue directly: the listing answers what a fresh registry holds.
    // Every registry entry is a catalogue row under its own name, each row
    // once: placing every key at its row's rank sorts them.
    FormulasRegistry::CallRoom room;
    FormulasRegistry(room).for_each(
        [&](std::string_view name, const Constant& row) { sorted[ranks[&row - first_row]] = name; });
    return sorted;
}

std::optional<std::string> suggest_builtin_name(std::string_view name) {
    static const auto names = list_constant_names();
    return suggest_name(name, names);
}

}  // namespace veldra
