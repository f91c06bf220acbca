#pragma once
// FormulasRegistry: the sharded store of named constants and formulas,
// always built complete with the built-in catalogue and read-only afterwards.
// Its entries are the catalogue's immutable rows, which outlive every
// registry, so a lookup hands out the row itself (never a reference into the
// map) or just the field a caller needs. Every operation is safe from any
// number of threads at once.

#include <cstddef>
#include <string_view>

#include "registry/builtin_entries.hpp"
#include "registry/constant.hpp"
#include "lookup/registry_error.hpp"
#include "support/sharded_map.hpp"
#include "support/expected.hpp"
#include "support/shard_amount.hpp"

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

    // Stack memory for a registry that lives only for one call: with up to
    // 64 shards (hosts of up to 16 processors) its whole map fits, and
    // building it allocates nothing; larger maps take the heap.
    struct CallRoom {
        alignas(std::max_align_t) std::byte bytes[4096];
    };

    // A registry with the process's shard count whose map lives in `room`
    // when it fits; `room` must outlive the registry.
    explicit FormulasRegistry(CallRoom& room);

    // The row stored under `name` (byte-exact match), or nullptr. Resolution
    // never evaluates anything: a formula is its stored row.
    const Constant* find(std::string_view name) const {
        const Constant* found = nullptr;
        entries_.read(name, [&found](const Constant* entry) { found = entry; });
        return found;
    }

    // Just the stored value of `name`, or NotFound carrying a copy of `name`.
    // Inline with find: the Python get() is this and little else.
    Expected<double, RegistryError> value(std::string_view name) const {
        if (const Constant* entry = find(name)) return entry->value;
        return unexpected(RegistryError::not_found(name));
    }

    std::size_t len() const { return entries_.len(); }

    // Visits every entry as visit(name, const Constant&), in an order that
    // depends on the hash keys. The visitor must not re-enter the registry.
    template <class F>
    void for_each(F&& visit) const {
        entries_.for_each([&visit](std::string_view name, const Constant* entry) { visit(name, *entry); });
    }

    HashKeys hash_keys() const noexcept { return entries_.hash_keys(); }

private:
    ShardedMap<const Constant*, std::string_view> entries_;
};

}  // namespace veldra
