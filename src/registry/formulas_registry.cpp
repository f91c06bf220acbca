#include "formulas_registry.hpp"

#include <array>

namespace veldra {
namespace {

using Pair = std::pair<std::string_view, const CatalogueEntry*>;

// What every registry is built from: (name, row) in catalogue order, made once.
std::span<const Pair> catalogue_pairs() {
    static const std::array<Pair, kCatalogueSize> pairs = [] {
        std::array<Pair, kCatalogueSize> made;
        const auto rows = catalogue();
        for (std::size_t i = 0; i < kCatalogueSize; ++i) made[i] = {rows[i].name, &rows[i]};
        return made;
    }();
    return pairs;
}

}  // namespace

RegistryError FormulasRegistry::not_found(std::string_view name) { return RegistryError{NotFound{std::string(name)}}; }

FormulasRegistry::FormulasRegistry(std::size_t shard_count)
    : entries_(shard_count, catalogue_pairs()) {}

Expected<Constant, RegistryError> FormulasRegistry::get(std::string_view name) const {
    if (const CatalogueEntry* entry = find(name)) return entry->to_constant();
    return unexpected(not_found(name));
}

std::vector<std::string_view> FormulasRegistry::names() const {
    std::vector<std::string_view> out;
    out.reserve(kCatalogueSize);
    entries_.for_each([&out](std::string_view name, const CatalogueEntry*) { out.push_back(name); });
    return out;
}

}  // namespace veldra
