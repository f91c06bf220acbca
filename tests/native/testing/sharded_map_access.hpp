#pragma once
// Test-only access to ShardedMap. Production maps are built complete and only
// read; tests also insert into built maps, concurrently too, to exercise the
// shard locks and the construction of shards by their first entry, and read
// per-shard counts to check the shard-selection rule.

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/sharded_map.hpp"

namespace veldra {

struct ShardedMapTesting {
    // Inserts or replaces; returns the value previously stored under `key`.
    // Safe against concurrent readers and writers.
    template <class V, class Key>
    static std::optional<V> insert(ShardedMap<V, Key>& map, std::type_identity_t<Key> key, std::type_identity_t<V> value) {
        using Map = ShardedMap<V, Key>;
        const std::uint64_t h = hash_name(map.keys_, key);
        const std::size_t index = shard_index(h, map.shift_);
        if (!Map::occupied(map.occupied_, index)) {
            ExclusiveGuard first(map.first_entry_lock_);
            if (!Map::occupied(map.occupied_, index)) {
                // Nobody reads a shard before its bit is set, so it is built
                // and filled without its own lock, then published.
                auto& shard = *::new (static_cast<void*>(&map.shards_[index])) typename Map::Shard();
                try {
                    shard.table.insert(h, std::move(key), std::move(value));
                } catch (...) {
                    shard.~Shard();
                    throw;
                }
                map.occupied_[index / Map::kBitsPerWord].fetch_or(std::uint64_t{1} << (index % Map::kBitsPerWord),
                                                                  std::memory_order_release);
                return std::nullopt;
            }
        }
        auto& shard = map.shards_[index];
        ExclusiveGuard hold(shard.lock);
        return shard.table.insert(h, std::move(key), std::move(value));
    }

    // A copy of the value stored under `key`.
    template <class V, class Key>
    static std::optional<V> get(const ShardedMap<V, Key>& map, std::string_view key) {
        std::optional<V> copy;
        map.read(key, [&copy](const V& value) { copy.emplace(value); });
        return copy;
    }

    // Copies of every key, in for_each order.
    template <class V, class Key>
    static std::vector<std::string> names(const ShardedMap<V, Key>& map) {
        std::vector<std::string> out;
        map.for_each([&out](std::string_view key, const V&) { out.emplace_back(key); });
        return out;
    }

    // Whether `map` holds exactly the keys of `model` (any map type with `first` keys).
    template <class V, class Key, class Model>
    static bool same_keys(const ShardedMap<V, Key>& map, const Model& model) {
        std::vector<std::string> held = names(map);
        std::sort(held.begin(), held.end());
        std::vector<std::string> expected;
        for (const auto& entry : model) expected.emplace_back(entry.first);
        std::sort(expected.begin(), expected.end());
        return held == expected;
    }

    // Entries in shard `index`.
    template <class V, class Key>
    static std::size_t shard_len(const ShardedMap<V, Key>& map, std::size_t index) {
        using Map = ShardedMap<V, Key>;
        if (!Map::occupied(map.occupied_, index)) return 0;
        SharedGuard hold(map.shards_[index].lock);
        return map.shards_[index].table.size();
    }
};

}  // namespace veldra
