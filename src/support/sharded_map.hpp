#pragma once
// ShardedMap: a concurrent map from text keys to values, split into a
// power-of-two number of shards, each an OpenTable behind its own RwLock.
// A key's shard is chosen by the bits of its SipHash just below the top
// seven (the table keeps those as its slot tags).
//
// Memory: one block per map holds room for the shards, a bitmap of the shards
// that hold entries, and (for a map built from a list of entries) every table,
// sized exactly. A map that lives only for one call can be lent the block's
// memory by its caller (on the stack) and then allocates nothing. A shard is
// constructed only when its first entry arrives; an empty shard is one clear
// bit and 24 bytes never written. Reads, counts, iteration and destruction
// skip it through the bitmap, so a host with hundreds of CPUs (1024 shards)
// pays little more than a small one.
//
// A map is built complete from its entries and only read afterwards. Tests
// also insert into built maps, through ShardedMapTesting (declared here,
// defined where only tests see it), to exercise the locking under writers.
//
// Thread-safety: every operation may run concurrently with any other. Lookups,
// len and for_each take the locks of occupied shards shared (an empty shard
// has nothing to guard); a test's insert takes one shard lock exclusively,
// or, for a shard's first entry, the map's first-entry lock while it
// constructs the shard. Shard locks are taken in ascending order and no
// writer holds two locks, so there is no lock-order cycle. Shards are not
// padded to cache lines: padding would multiply the per-shard cost on large
// hosts, and from Python the locks are never contended.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "support/fault.hpp"
#include "support/hash_keys.hpp"
#include "support/open_table.hpp"
#include "support/rw_lock.hpp"
#include "support/shard_amount.hpp"
#include "support/siphash.hpp"

namespace veldra {

// Index of the shard for hash `h` in a map whose shift is 64 − log2(shards).
constexpr std::size_t shard_index(std::uint64_t h, unsigned shift) noexcept {
    return static_cast<std::size_t>((h << 7) >> shift);
}

// Test-only access to a built map (insert, copy-out lookups, per-shard counts).
struct ShardedMapTesting;

template <class V, class Key = std::string>
class ShardedMap {
    using Table = OpenTable<V, Key>;

public:
    // An empty map with keys from the thread's key source. Raises an internal
    // fault unless `shard_count` is a power of two greater than 1.
    explicit ShardedMap(std::size_t shard_count = shard_amount()) : ShardedMap(shard_count, {}) {}

    // A map holding `entries`, inserted in order (a later equal key replaces
    // an earlier one's value). Raises std::bad_alloc if memory runs out, with
    // nothing left allocated.
    ShardedMap(std::size_t shard_count, std::span<const std::pair<Key, V>> entries)
        : ShardedMap(shard_count, entries, {}) {}

    // The same, with the block placed in `room` when it fits (else on the
    // heap). `room` must be aligned for std::max_align_t and outlive the map.
    ShardedMap(std::size_t shard_count, std::span<const std::pair<Key, V>> entries, std::span<std::byte> room);

    ShardedMap(const ShardedMap&) = delete;
    ShardedMap& operator=(const ShardedMap&) = delete;
    ShardedMap(ShardedMap&& other) noexcept
        : keys_(other.keys_),
          shift_(other.shift_),
          shard_count_(std::exchange(other.shard_count_, 0)),
          shards_(std::exchange(other.shards_, nullptr)),
          occupied_(std::exchange(other.occupied_, nullptr)),
          lent_(other.lent_) {}
    ShardedMap& operator=(ShardedMap&&) = delete;
    ~ShardedMap() {
        if (shards_ != nullptr) destroy_shards(shards_, occupied_, shard_count_);
        if (!lent_) ::operator delete(static_cast<void*>(shards_));
    }

    std::size_t shard_count() const noexcept { return shard_count_; }
    unsigned shift() const noexcept { return shift_; }
    HashKeys hash_keys() const noexcept { return keys_; }

    // Calls `read(const V&)`, or `read(const Key&, const V&)`, on the entry
    // stored under `key` while its shard is locked shared; returns whether the
    // key was found. `read` must not call back into this map.
    template <class F>
    bool read(std::string_view key, F&& read) const {
        const std::uint64_t h = hash_name(keys_, key);
        const std::size_t index = shard_index(h, shift_);
        if (!occupied(occupied_, index)) return false;
        const Shard& shard = shards_[index];
        SharedGuard hold(shard.lock);
        const auto* entry = shard.table.find(h, key);
        if (entry == nullptr) return false;
        if constexpr (std::is_invocable_v<F&, const Key&, const V&>) {
            read(entry->key, entry->value);
        } else {
            read(entry->value);
        }
        return true;
    }

    // Number of entries, summed shard by shard (not a snapshot under
    // concurrent inserts).
    std::size_t len() const {
        std::size_t total = 0;
        for_each_occupied(occupied_, shard_count_, [&](std::size_t i) {
            SharedGuard hold(shards_[i].lock);
            total += shards_[i].table.size();
        });
        return total;
    }

    // Visits every entry as visit(key, value), shard by shard in index order,
    // each shard's entries in slot order. The next shard is locked before the
    // previous one is released. References are valid only during the visit,
    // and the visitor must not insert into this map.
    template <class F>
    void for_each(F&& visit) const {
        SharedGuard held;
        for_each_occupied(occupied_, shard_count_, [&](std::size_t i) {
            SharedGuard next(shards_[i].lock);
            held = std::move(next);
            shards_[i].table.for_each([&visit](const auto& entry) {
                visit(std::string_view(entry.key), entry.value);
            });
        });
    }

private:
    friend struct ShardedMapTesting;

    struct Shard {
        mutable RwLock lock;  // guards `table`
        Table table;
    };

    using Bitmap = std::atomic<std::uint64_t>;
    static constexpr std::size_t kBitsPerWord = 64;
    // A shard's slot in the census: its entry count until the layout gives it
    // a table, then kSized | the table's capacity, then 0 once it is built.
    static constexpr std::uint32_t kSized = std::uint32_t{1} << 31;

    struct FreeBlock {
        void operator()(unsigned char* block) const noexcept { ::operator delete(static_cast<void*>(block)); }
    };
    using Block = std::unique_ptr<unsigned char, FreeBlock>;

    // Each entry's hash, and the entries each shard receives. Small maps on
    // ordinary hosts keep both on the stack.
    class Census {
    public:
        Census(HashKeys keys, unsigned shift, std::size_t shard_count, std::span<const std::pair<Key, V>> entries);
        Census(const Census&) = delete;
        Census& operator=(const Census&) = delete;
        std::uint64_t hash(std::size_t entry) const noexcept { return hashes_[entry]; }
        std::uint32_t& slot(std::size_t shard) noexcept { return counts_[shard]; }

    private:
        static constexpr std::size_t kInlineEntries = 32;
        static constexpr std::size_t kInlineShards = 1024;
        std::uint64_t inline_hashes_[kInlineEntries];
        std::uint32_t inline_counts_[kInlineShards];
        std::unique_ptr<std::uint64_t[]> heap_hashes_;
        std::unique_ptr<std::uint32_t[]> heap_counts_;
        std::uint64_t* hashes_ = inline_hashes_;
        std::uint32_t* counts_ = inline_counts_;
    };

    static std::size_t bitmap_words(std::size_t shards) noexcept { return (shards + kBitsPerWord - 1) / kBitsPerWord; }

    // Bytes before the first table: the shards, then the bitmap, aligned for the tables.
    static std::size_t tables_offset(std::size_t shard_count) noexcept {
        const std::size_t head = sizeof(Shard) * shard_count + sizeof(Bitmap) * bitmap_words(shard_count);
        return (head + alignof(typename Table::Entry) - 1) / alignof(typename Table::Entry) *
               alignof(typename Table::Entry);
    }

    // Sizes each non-empty shard's table, in the order the shards first
    // appear among the entries, and returns the bytes of the whole block.
    static std::size_t lay_out(Census& census, std::size_t shard_count, unsigned shift, std::size_t entries);

    // Builds the shards that receive entries inside `block` and inserts the
    // entries. On failure the shards built so far are destroyed.
    void fill(Census& census, std::span<const std::pair<Key, V>> entries, unsigned char* block, std::size_t bytes);

    // Whether shard `index` has been constructed (and so holds an entry). The
    // acquire pairs with the release that publishes a new shard.
    static bool occupied(const Bitmap* bitmap, std::size_t index) noexcept {
        return (bitmap[index / kBitsPerWord].load(std::memory_order_acquire) >> (index % kBitsPerWord)) & 1;
    }

    // Visits the index of every shard that holds entries, ascending.
    template <class F>
    static void for_each_occupied(const Bitmap* bitmap, std::size_t shard_count, F&& visit) {
        for (std::size_t w = 0; w < bitmap_words(shard_count); ++w) {
            for (std::uint64_t bits = bitmap[w].load(std::memory_order_acquire); bits != 0; bits &= bits - 1) {
                visit(w * kBitsPerWord + static_cast<std::size_t>(std::countr_zero(bits)));
            }
        }
    }

    // Unbuilt shards and the bitmap words need no destruction.
    static void destroy_shards(Shard* shards, const Bitmap* bitmap, std::size_t shard_count) noexcept {
        for_each_occupied(bitmap, shard_count, [shards](std::size_t i) { shards[i].~Shard(); });
    }

    HashKeys keys_;
    unsigned shift_ = 0;
    std::size_t shard_count_ = 0;
    Shard* shards_ = nullptr;  // start of the map's one block
    Bitmap* occupied_ = nullptr;  // bit i: shard i is constructed and holds an entry
    // Serialises the construction of shards by inserts after the build, which
    // only tests make: one word per map, kept so they can exercise the locking.
    RwLock first_entry_lock_;
    bool lent_ = false;  // the block is the caller's memory, not ours to free
};

template <class V, class Key>
ShardedMap<V, Key>::Census::Census(HashKeys keys, unsigned shift, std::size_t shard_count,
                                    std::span<const std::pair<Key, V>> entries) {
    if (entries.size() > kInlineEntries) {
        heap_hashes_ = std::make_unique<std::uint64_t[]>(entries.size());
        hashes_ = heap_hashes_.get();
    }
    if (shard_count > kInlineShards) {
        heap_counts_ = std::make_unique<std::uint32_t[]>(shard_count);
        counts_ = heap_counts_.get();
    }
    std::fill_n(counts_, shard_count, std::uint32_t{0});
    for (std::size_t i = 0; i < entries.size(); ++i) {
        hashes_[i] = hash_name(keys, entries[i].first);
        ++counts_[shard_index(hashes_[i], shift)];
    }
}

template <class V, class Key>
std::size_t ShardedMap<V, Key>::lay_out(Census& census, std::size_t shard_count, unsigned shift,
                                        std::size_t entries) {
    static_assert(alignof(typename Table::Entry) <= alignof(std::max_align_t) &&
                  alignof(Shard) <= alignof(std::max_align_t));
    std::size_t bytes = tables_offset(shard_count);
    for (std::size_t i = 0; i < entries; ++i) {
        std::uint32_t& slot = census.slot(shard_index(census.hash(i), shift));
        if (slot & kSized) continue;
        const std::size_t capacity = Table::capacity_for(slot);
        bytes += Table::storage_bytes(capacity);
        slot = kSized | static_cast<std::uint32_t>(capacity);
    }
    return bytes;
}

template <class V, class Key>
void ShardedMap<V, Key>::fill(Census& census, std::span<const std::pair<Key, V>> entries, unsigned char* block,
                              std::size_t bytes) {
    auto* shards = reinterpret_cast<Shard*>(block);
    auto* bitmap = reinterpret_cast<Bitmap*>(block + sizeof(Shard) * shard_count_);
    for (std::size_t w = 0; w < bitmap_words(shard_count_); ++w) ::new (static_cast<void*>(&bitmap[w])) Bitmap(0);
    unsigned char* storage = block + tables_offset(shard_count_);
    std::memset(storage, 0, bytes - tables_offset(shard_count_));  // every table's control bytes at once
    // Nothing else can see the map yet: no shard locks, and the bitmap is
    // written with plain stores (a locked read-modify-write per shard would
    // cost more than the rest of the fill).
    try {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::size_t index = shard_index(census.hash(i), shift_);
            std::uint32_t& slot = census.slot(index);
            if (slot != 0) {
                const std::size_t capacity = slot & ~kSized;
                slot = 0;
                ::new (static_cast<void*>(&shards[index])) Shard();
                shards[index].table.adopt(storage, capacity, /*zeroed=*/true);
                storage += Table::storage_bytes(capacity);
                Bitmap& word = bitmap[index / kBitsPerWord];
                word.store(word.load(std::memory_order_relaxed) | (std::uint64_t{1} << (index % kBitsPerWord)),
                           std::memory_order_relaxed);
            }
            shards[index].table.insert(census.hash(i), entries[i].first, entries[i].second);
        }
    } catch (...) {
        destroy_shards(shards, bitmap, shard_count_);  // copying a key or value ran out of memory
        throw;
    }
    shards_ = shards;
    occupied_ = bitmap;
}

template <class V, class Key>
ShardedMap<V, Key>::ShardedMap(std::size_t shard_count, std::span<const std::pair<Key, V>> entries,
                               std::span<std::byte> room)
    : keys_(next_map_keys()) {
    if (!(shard_count > 1)) raise_fault("assertion failed: shard_amount > 1");
    // Not std::has_single_bit: without a popcount instruction it becomes a
    // library call on every build.
    if ((shard_count & (shard_count - 1)) != 0) raise_fault("assertion failed: shard_amount.is_power_of_two()");
    // A shard's count, then its table's capacity, must fit below kSized.
    if (entries.size() >= (std::size_t{1} << 29)) throw std::length_error("too many entries for one sharded map");
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(shard_count));
    shard_count_ = shard_count;

    Census census(keys_, shift_, shard_count, entries);
    const std::size_t bytes = lay_out(census, shard_count, shift_, entries.size());
    if (bytes <= room.size()) {
        fill(census, entries, reinterpret_cast<unsigned char*>(room.data()), bytes);
        lent_ = true;
        return;
    }
    Block block(static_cast<unsigned char*>(::operator new(bytes)));
    fill(census, entries, block.get(), bytes);
    block.release();  // now owned through shards_
}

}  // namespace veldra
