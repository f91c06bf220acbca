#include "formulas_registry.hpp"

#include "catalogue.hpp"

namespace veldra {

FormulasRegistry::FormulasRegistry(std::size_t shard_count) : entries_(shard_count) {
    for (Constant& entry : catalogue_entries()) {
        std::string key = entry.name;
        entries_.insert(std::move(key), std::move(entry));
    }
}

Expected<Constant, RegistryError> FormulasRegistry::get(std::string_view name) const {
    if (auto copy = entries_.get(name)) return std::move(*copy);
    return unexpected(RegistryError{NotFound{std::string(name)}});
}

}  // namespace veldra
