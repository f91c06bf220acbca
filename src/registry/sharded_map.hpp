#pragma once
// ShardedMap: a concurrent map from text keys to values, split into a
// power-of-two number of shards, each an OpenTable behind its own RwLock.
// A key's shard is chosen by the bits of its SipHash just below the top
// seven (the table keeps those as its slot tags).
//
// Memory: one block per map holds room for the shards, a bitmap of the shards
// that hold entries, and (for a map built from a list of entries) every table,
// sized exactly. A shard is constructed only when its first entry arrives; an
// empty shard is one clear bit and 24 bytes never written. Reads, counts,
// iteration and destruction skip it through the bitmap, so a host with
// hundreds of CPUs (1024 shards) pays little more than a small one.
//
// Thread-safety: every operation may run concurrently with any other. Lookups,
// len, for_each and names take the locks of occupied shards shared (an empty
// shard has nothing to guard); insert takes one shard lock exclusively, or,
// for a shard's first entry, the map's first-entry lock while it constructs
// the shard. Shard locks are taken in ascending order and no writer holds
// two locks, so there is no lock-order cycle. Shards are not padded to cache
// lines: padding would multiply the per-shard cost on large hosts, and from
// Python the locks are never contended.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
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

template <class V, class Key = std::string>
class ShardedMap {
    using Table = OpenTable<V, Key>;

public:
    // An empty map with keys from the thread's key source. Raises an internal
    // fault unless `shard_count` is a power of two greater than 1.
    explicit ShardedMap(std::size_t shard_count = shard_amount()) : ShardedMap(shard_count, {}) {}

    // A map holding `entries`, inserted in order (a later equal key replaces
    // an earlier one's value, as insert does).
    ShardedMap(std::size_t shard_count, std::span<const std::pair<Key, V>> entries);

    ShardedMap(const ShardedMap&) = delete;
    ShardedMap& operator=(const ShardedMap&) = delete;
    ShardedMap(ShardedMap&& other) noexcept
        : keys_(other.keys_),
          shift_(other.shift_),
          shard_count_(std::exchange(other.shard_count_, 0)),
          shards_(std::exchange(other.shards_, nullptr)),
          occupied_(std::exchange(other.occupied_, nullptr)) {}
    ShardedMap& operator=(ShardedMap&&) = delete;
    ~ShardedMap();

    std::size_t shard_count() const noexcept { return shard_count_; }
    unsigned shift() const noexcept { return shift_; }
    HashKeys hash_keys() const noexcept { return keys_; }

    // Inserts or replaces; returns the value previously stored under `key`.
    std::optional<V> insert(Key key, V value) {
        const std::uint64_t h = hash_name(keys_, key);
        const std::size_t index = shard_index(h, shift_);
        if (!occupied(index)) {
            ExclusiveGuard first(first_entry_lock_);
            if (!occupied(index)) {
                // Nobody reads a shard before its bit is set, so it is built
                // and filled without its own lock, then published.
                Shard& shard = *::new (static_cast<void*>(&shards_[index])) Shard();
                try {
                    shard.table.insert(h, std::move(key), std::move(value));
                } catch (...) {
                    shard.~Shard();
                    throw;
                }
                occupied_[index / kBitsPerWord].fetch_or(std::uint64_t{1} << (index % kBitsPerWord),
                                                         std::memory_order_release);
                return std::nullopt;
            }
        }
        Shard& shard = shards_[index];
        ExclusiveGuard hold(shard.lock);
        return shard.table.insert(h, std::move(key), std::move(value));
    }

    // Calls `read(const V&)` on the value stored under `key` while its shard is
    // locked shared; returns whether the key was found. `read` must not call
    // back into this map.
    template <class F>
    bool read(std::string_view key, F&& read) const {
        const std::uint64_t h = hash_name(keys_, key);
        const std::size_t index = shard_index(h, shift_);
        if (!occupied(index)) return false;
        const Shard& shard = shards_[index];
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
        for_each_occupied([&](std::size_t i) {
            SharedGuard hold(shards_[i].lock);
            total += shards_[i].table.size();
        });
        return total;
    }

    // Entries in one shard; for tests of the shard-selection rule.
    std::size_t shard_len(std::size_t index) const {
        if (!occupied(index)) return 0;
        SharedGuard hold(shards_[index].lock);
        return shards_[index].table.size();
    }

    // Visits every entry as visit(key, value), shard by shard in index order,
    // each shard's entries in slot order. The next shard is locked before the
    // previous one is released. References are valid only during the visit,
    // and the visitor must not insert into this map.
    template <class F>
    void for_each(F&& visit) const {
        SharedGuard held;
        for_each_occupied([&](std::size_t i) {
            SharedGuard next(shards_[i].lock);
            held = std::move(next);
            shards_[i].table.for_each([&visit](const auto& entry) {
                visit(std::string_view(entry.key), entry.value);
            });
        });
    }

    // Copies of every key, in for_each order.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        out.reserve(4);
        for_each([&out](std::string_view key, const V&) { out.emplace_back(key); });
        return out;
    }

private:
    struct Shard {
        mutable RwLock lock;  // guards `table`
        Table table;
    };

    static constexpr std::size_t kBitsPerWord = 64;

    static std::size_t bitmap_words(std::size_t shards) noexcept { return (shards + kBitsPerWord - 1) / kBitsPerWord; }

    // Whether shard `index` has been constructed (and so holds an entry). The
    // acquire pairs with the release that publishes a new shard.
    bool occupied(std::size_t index) const noexcept {
        return (occupied_[index / kBitsPerWord].load(std::memory_order_acquire) >> (index % kBitsPerWord)) & 1;
    }

    // Visits the index of every shard that holds entries, ascending.
    template <class F>
    void for_each_occupied(F&& visit) const {
        for (std::size_t w = 0; w < bitmap_words(shard_count_); ++w) {
            for (std::uint64_t bits = occupied_[w].load(std::memory_order_acquire); bits != 0; bits &= bits - 1) {
                visit(w * kBitsPerWord + static_cast<std::size_t>(std::countr_zero(bits)));
            }
        }
    }

    HashKeys keys_;
    unsigned shift_ = 0;
    std::size_t shard_count_ = 0;
    Shard* shards_ = nullptr;                        // start of the map's one block
    std::atomic<std::uint64_t>* occupied_ = nullptr;  // bit i: shard i is constructed and holds an entry
    RwLock first_entry_lock_;  // serialises the construction of shards
};

template <class V, class Key>
ShardedMap<V, Key>::ShardedMap(std::size_t shard_count, std::span<const std::pair<Key, V>> entries)
    : keys_(next_map_keys()) {
    if (!(shard_count > 1)) raise_fault("assertion failed: shard_amount > 1");
    // Not std::has_single_bit: without a popcount instruction it becomes a
    // library call on every build.
    if ((shard_count & (shard_count - 1)) != 0) raise_fault("assertion failed: shard_amount.is_power_of_two()");
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(shard_count));

    // Hash every key once and count the entries each shard will hold. Small
    // maps on ordinary hosts keep both arrays on the stack.
    const std::size_t n = entries.size();
    // A shard's count, then its table's capacity, must fit below kSized.
    if (n >= (std::size_t{1} << 29)) throw std::length_error("too many entries for one sharded map");
    constexpr std::size_t kInlineEntries = 32;
    constexpr std::size_t kInlineShards = 1024;
    std::uint64_t inline_hashes[kInlineEntries];
    std::uint32_t inline_counts[kInlineShards];
    std::unique_ptr<std::uint64_t[]> heap_hashes;
    std::unique_ptr<std::uint32_t[]> heap_counts;
    std::uint64_t* hashes = inline_hashes;
    std::uint32_t* counts = inline_counts;
    if (n > kInlineEntries) {
        heap_hashes = std::make_unique<std::uint64_t[]>(n);
        hashes = heap_hashes.get();
    }
    if (shard_count > kInlineShards) {
        heap_counts = std::make_unique<std::uint32_t[]>(shard_count);
        counts = heap_counts.get();
    }
    std::fill_n(counts, shard_count, std::uint32_t{0});
    for (std::size_t i = 0; i < n; ++i) {
        hashes[i] = hash_name(keys_, entries[i].first);
        ++counts[shard_index(hashes[i], shift_)];
    }

    // One block: shards, bitmap, then each non-empty shard's table storage,
    // sized exactly, in the order the shards first appear among the entries.
    using Entry = typename Table::Entry;
    static_assert(alignof(Entry) <= alignof(std::max_align_t) && alignof(Shard) <= alignof(std::max_align_t));
    const std::size_t words = bitmap_words(shard_count);
    const std::size_t head = sizeof(Shard) * shard_count + sizeof(std::atomic<std::uint64_t>) * words;
    const std::size_t tables_at = (head + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);
    // Once a shard is sized, its slot in `counts` holds kSized | capacity,
    // and 0 again once its table is in place: the fill reads that local word
    // instead of the shared bitmap.
    constexpr std::uint32_t kSized = std::uint32_t{1} << 31;
    std::size_t bytes = tables_at;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t& count = counts[shard_index(hashes[i], shift_)];
        if (count & kSized) continue;
        const std::size_t capacity = Table::capacity_for(count);
        bytes += Table::storage_bytes(capacity);
        count = kSized | static_cast<std::uint32_t>(capacity);
    }
    auto* block = static_cast<unsigned char*>(::operator new(bytes));
    shards_ = reinterpret_cast<Shard*>(block);
    occupied_ = reinterpret_cast<std::atomic<std::uint64_t>*>(block + sizeof(Shard) * shard_count);
    for (std::size_t w = 0; w < words; ++w) ::new (static_cast<void*>(&occupied_[w])) std::atomic<std::uint64_t>(0);
    shard_count_ = shard_count;

    // Nothing else can see the map yet: no shard locks, and the bitmap is
    // written with plain stores (a locked read-modify-write per shard would
    // cost more than the rest of the fill).
    try {
        unsigned char* storage = block + tables_at;
        std::memset(storage, 0, bytes - tables_at);  // every table's control bytes at once
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t index = shard_index(hashes[i], shift_);
            if (counts[index] != 0) {
                const std::size_t capacity = counts[index] & ~kSized;
                counts[index] = 0;
                ::new (static_cast<void*>(&shards_[index])) Shard();
                shards_[index].table.adopt(storage, capacity, /*zeroed=*/true);
                storage += Table::storage_bytes(capacity);
                std::atomic<std::uint64_t>& word = occupied_[index / kBitsPerWord];
                word.store(word.load(std::memory_order_relaxed) | (std::uint64_t{1} << (index % kBitsPerWord)),
                           std::memory_order_relaxed);
            }
            shards_[index].table.insert(hashes[i], entries[i].first, entries[i].second);
        }
    } catch (...) {
        // Copying a key or value ran out of memory: undo what was built.
        this->~ShardedMap();
        throw;
    }
}

template <class V, class Key>
ShardedMap<V, Key>::~ShardedMap() {
    if (shards_ == nullptr) return;
    for_each_occupied([this](std::size_t i) { shards_[i].~Shard(); });
    // Unbuilt shards and the bitmap words need no destruction.
    ::operator delete(static_cast<void*>(shards_));
}

}  // namespace veldra
