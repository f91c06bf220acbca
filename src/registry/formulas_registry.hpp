#pragma once
// FormulasRegistry: the sharded store of named constants and formulas,
// always built complete with the built-in catalogue and read-only afterwards.
// Its entries are the catalogue's immutable rows; lookups hand out owned
// copies (get) or the single field a caller needs (value). Every operation is
// safe from any number of threads at once.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue.hpp"
#include "constant.hpp"
#include "expected.hpp"
#include "registry_error.hpp"
#include "shard_amount.hpp"
#include "sharded_map.hpp"

namespace veldra {

class FormulasRegistry {
public:
    // A registry holding the 17 catalogue entries, with the process's shard
    // count. Fails only by exhausting memory (std::bad_alloc) or by an
    // internal fault from the hash-key source.
    FormulasRegistry() : FormulasRegistry(shard_amount()) {}

    // The same with an explicit shard count (a power of two above 1), for
    // tests and benchmarks.
    explicit FormulasRegistry(std::size_t shard_count);

    // A deep copy of the entry stored under `name` (byte-exact match), or
    // NotFound carrying a copy of `name`. Resolution never evaluates anything.
    Expected<Constant, RegistryError> get(std::string_view name) const;

    // Just the stored value of `name`, or NotFound. Inline with find: the
    // Python get() is this and little else.
    Expected<double, RegistryError> value(std::string_view name) const {
        if (const CatalogueEntry* entry = find(name)) return entry->value;
        return unexpected(not_found(name));
    }

    // The stored row of `name`, or nullptr. Rows are immutable and outlive
    // every registry, so the pointer stays valid after the lookup.
    const CatalogueEntry* find(std::string_view name) const {
        const CatalogueEntry* found = nullptr;
        entries_.read(name, [&found](const CatalogueEntry* entry) { found = entry; });
        return found;
    }

    std::size_t len() const { return entries_.len(); }

    // Visits every entry as visit(name, const CatalogueEntry&), in an order
    // that depends on the hash keys. The visitor must not re-enter the registry.
    template <class F>
    void for_each(F&& visit) const {
        entries_.for_each([&visit](std::string_view name, const CatalogueEntry* entry) { visit(name, *entry); });
    }

    // Every name, in for_each order (the caller sorts). The views refer to the
    // catalogue's text, which lives as long as the process.
    std::vector<std::string_view> names() const;

    const ShardedMap<const CatalogueEntry*, std::string_view>& entries() const noexcept { return entries_; }

private:
    static RegistryError not_found(std::string_view name);

    ShardedMap<const CatalogueEntry*, std::string_view> entries_;
};

}  // namespace veldra
