#include "registry/formulas_registry.hpp"

#include <array>
#include <utility>

namespace veldra {
namespace {

using Pair = std::pair<std::string_view, const Constant*>;

// What every registry is built from: (name, row) in catalogue order, made once.
std::span<const Pair> catalogue_pairs() {
    static const std::array<Pair, kBuiltinEntryCount> pairs = [] {
        std::array<Pair, kBuiltinEntryCount> made;
        const auto rows = builtin_entries();
        for (std::size_t i = 0; i < kBuiltinEntryCount; ++i) made[i] = {rows[i].name, &rows[i]};
        return made;
    }();
    return pairs;
}

}  // namespace

FormulasRegistry::FormulasRegistry(std::size_t shard_count) : entries_(shard_count, catalogue_pairs()) {}

FormulasRegistry::FormulasRegistry(CallRoom& room) : entries_(shard_amount(), catalogue_pairs(), room.bytes) {}

}  // namespace veldra
