#pragma once
// ShardedMap: a concurrent map from owned text keys to values, split into a
// power-of-two number of shards, each an OpenTable behind its own RwLock.
// A key's shard is chosen by the bits of its SipHash just below the top
// seven (the table keeps those as its slot tags).
//
// Thread-safety: every operation may run concurrently with any other. Lookups,
// len, for_each and names take shard locks shared; insert takes one shard
// lock exclusively. Locks are taken in ascending shard order and no writer
// holds two, so there is no lock-order cycle.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "hash_keys.hpp"
#include "open_table.hpp"
#include "rw_lock.hpp"
#include "shard_amount.hpp"
#include "siphash.hpp"

namespace veldra {

// Index of the shard for hash `h` in a map whose shift is 64 − log2(shards).
constexpr std::size_t shard_index(std::uint64_t h, unsigned shift) noexcept {
    return static_cast<std::size_t>((h << 7) >> shift);
}

template <class V>
class ShardedMap {
public:
    // Empty map with keys from the thread's key source. Raises an internal
    // fault unless `shard_count` is a power of two greater than 1.
    explicit ShardedMap(std::size_t shard_count = shard_amount()) : keys_(next_map_keys()) {
        if (!(shard_count > 1)) raise_fault("assertion failed: shard_amount > 1");
        if (!std::has_single_bit(shard_count)) {
            raise_fault("assertion failed: shard_amount.is_power_of_two()");
        }
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(shard_count));
        shard_count_ = shard_count;
        shards_ = std::make_unique<Shard[]>(shard_count);
    }

    std::size_t shard_count() const noexcept { return shard_count_; }
    unsigned shift() const noexcept { return shift_; }
    HashKeys hash_keys() const noexcept { return keys_; }

    // Inserts or replaces; returns the value previously stored under `key`.
    std::optional<V> insert(std::string key, V value) {
        const std::uint64_t h = hash_name(keys_, key);
        Shard& shard = shards_[shard_index(h, shift_)];
        ExclusiveGuard hold(shard.lock);
        return shard.table.insert(h, std::move(key), std::move(value));
    }

    // Calls `read(const V&)` on the value stored under `key` while its shard is
    // locked shared; returns whether the key was found. `read` must not call
    // back into this map.
    template <class F>
    bool read(std::string_view key, F&& read) const {
        const std::uint64_t h = hash_name(keys_, key);
        const Shard& shard = shards_[shard_index(h, shift_)];
        SharedGuard hold(shard.lock);
        const auto* entry = shard.table.find(h, key);
        if (entry == nullptr) return false;
        read(entry->value);
        return true;
    }

    // A copy of the value stored under `key`.
    std::optional<V> get(std::string_view key) const {
        std::optional<V> copy;
        read(key, [&copy](const V& value) { copy.emplace(value); });
        return copy;
    }

    // Number of entries, summed shard by shard (not a snapshot under
    // concurrent inserts).
    std::size_t len() const {
        std::size_t total = 0;
        for (std::size_t i = 0; i < shard_count_; ++i) {
            SharedGuard hold(shards_[i].lock);
            total += shards_[i].table.size();
        }
        return total;
    }

    // Entries in one shard; for tests of the shard-selection rule.
    std::size_t shard_len(std::size_t index) const {
        SharedGuard hold(shards_[index].lock);
        return shards_[index].table.size();
    }

    // Visits every entry as visit(key, value), shard by shard in index order,
    // each shard's entries in slot order. The next shard is locked before the
    // previous one is released. References are valid only during the visit,
    // and the visitor must not insert into this map.
    template <class F>
    void for_each(F&& visit) const {
        if (shard_count_ == 0) return;
        SharedGuard held(shards_[0].lock);
        for (std::size_t i = 0;; ++i) {
            shards_[i].table.for_each([&visit](const auto& entry) {
                visit(std::string_view(entry.key), entry.value);
            });
            if (i + 1 == shard_count_) return;
            SharedGuard next(shards_[i + 1].lock);
            held = std::move(next);
        }
    }

    // Copies of every key, in for_each order.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        out.reserve(4);
        for_each([&out](std::string_view key, const V&) { out.emplace_back(key); });
        return out;
    }

private:
    // Aligned to a cache line so that readers of neighbouring shards do not
    // share the line that holds a lock word.
    struct alignas(64) Shard {
        mutable RwLock lock;  // guards `table`; taken shared by const readers
        OpenTable<V> table;
    };

    HashKeys keys_;
    unsigned shift_ = 0;
    std::size_t shard_count_ = 0;
    std::unique_ptr<Shard[]> shards_;
};

}  // namespace veldra
