#pragma once
// An open-addressing hash table from text keys to values, with linear
// probing over one array of slots followed by one control byte per slot.
// Iteration reads the control bytes eight at a time and jumps from full slot
// to full slot, instead of branching on every byte: which slots are full
// changes with the random hash keys on every build, so no branch predictor
// can learn it, and a registry built for one call is iterated once.
// The caller supplies each key's 64-bit hash, so a table owned by a sharded
// map never hashes a key twice. An empty table allocates nothing; a table can
// also live in storage its owner provides (sized exactly for a bulk build)
// and only allocates its own if it has to grow. There is no removal.
// Not synchronised: its owner locks around it.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "support/short_text.hpp"

namespace veldra {

template <class V, class Key = std::string>
class OpenTable {
public:
    struct Entry {
        std::uint64_t hash;
        Key key;
        // A set keyed by rows (the catalogue's name index) has nothing to store here.
        [[no_unique_address]] V value;
    };

    // Slots for `count` entries at a load of at most 7/8 (at least one slot
    // always stays empty, which ends every probe).
    static constexpr std::size_t capacity_for(std::size_t count) noexcept {
        // The smallest power of two, at least 2, that is >= count * 8 / 7.
        return std::max<std::size_t>(2, std::bit_ceil((count * 8 + 6) / 7));
    }

    // Bytes of storage a table of `capacity` slots needs: the slots, then
    // the control bytes padded to whole words, rounded up so that storage
    // laid out back to back keeps every table aligned for Entry.
    static constexpr std::size_t storage_bytes(std::size_t capacity) noexcept {
        const std::size_t bytes = capacity * sizeof(Entry) + control_bytes(capacity);
        return (bytes + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);
    }

    OpenTable() noexcept = default;
    OpenTable(const OpenTable&) = delete;
    OpenTable& operator=(const OpenTable&) = delete;
    OpenTable(OpenTable&& other) noexcept { steal(other); }
    OpenTable& operator=(OpenTable&& other) noexcept {
        if (this != &other) {
            destroy();
            steal(other);
        }
        return *this;
    }
    ~OpenTable() { destroy(); }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }

    // Places an empty table in `storage` (storage_bytes(capacity) bytes,
    // aligned for Entry, `capacity` a power of two). The table does not free
    // it. `zeroed`: the owner has already cleared the storage (an empty slot
    // is a zero control byte), as it can for many tables with one memset.
    void adopt(void* storage, std::size_t capacity, bool zeroed = false) noexcept {
        slots_ = static_cast<Entry*>(storage);
        capacity_ = static_cast<std::uint32_t>(capacity);
        borrowed_ = true;
        if (!zeroed) std::memset(control(), kEmpty, control_bytes(capacity));
    }

    // Makes room for `count` entries without growing again.
    void reserve(std::size_t count) {
        if (count * 8 > std::size_t{capacity_} * 7) rehash(capacity_for(count));
    }

    // The entry stored under `key`, or nullptr.
    const Entry* find(std::uint64_t hash, std::string_view key) const noexcept {
        if (capacity_ == 0) return nullptr;
        const std::size_t i = probe(hash, key);
        return control()[i] == kEmpty ? nullptr : &slots_[i];
    }

    // Adds `key` → `value`. When the key is present, the stored key stays, the
    // value is replaced and the previous value returned. Strong guarantee: on
    // std::bad_alloc from growing, the table is unchanged.
    std::optional<V> insert(std::uint64_t hash, Key key, V value) {
        if (capacity_ != 0) {
            // One probe finds either the key or the empty slot it would take.
            const std::size_t i = probe(hash, key);
            if (control()[i] != kEmpty) {
                std::optional<V> previous(std::move(slots_[i].value));
                slots_[i].value = std::move(value);
                return previous;
            }
            if ((std::size_t{size_} + 1) * 8 <= std::size_t{capacity_} * 7) {
                fill(i, hash, std::move(key), std::move(value));
                return std::nullopt;
            }
        }
        reserve(std::size_t{size_} + 1);
        place(hash, std::move(key), std::move(value));
        return std::nullopt;
    }

    // Visits every entry in slot order.
    template <class F>
    void for_each(F&& visit) const {
        for (std::size_t at = 0; at < capacity_; at += kGroup) {
            for (std::uint64_t full = group(at) & kHighBits; full != 0; full &= full - 1) {
                visit(std::as_const(slots_[at + static_cast<std::size_t>(std::countr_zero(full)) / 8]));
            }
        }
    }

private:
    static constexpr std::uint8_t kEmpty = 0;
    static constexpr std::size_t kMaxCapacity = std::size_t{1} << 30;
    static constexpr std::size_t kGroup = 8;  // control bytes per word
    static constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

    // Control bytes come in whole words; the padding past the last slot
    // stays empty.
    static constexpr std::size_t control_bytes(std::size_t capacity) noexcept {
        return (capacity + kGroup - 1) / kGroup * kGroup;
    }

    // The control bytes of slots at .. at + 7 (`at` a multiple of eight), the
    // first in the lowest byte.
    std::uint64_t group(std::size_t at) const noexcept {
        std::uint64_t word;
        std::memcpy(&word, control() + at, sizeof word);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        return word;
    }

    // The top seven bits of the hash, with the high bit marking a full slot.
    static std::uint8_t tag_of(std::uint64_t hash) noexcept {
        return static_cast<std::uint8_t>(0x80 | (hash >> 57));
    }

    std::size_t mask() const noexcept { return std::size_t{capacity_} - 1; }
    std::uint8_t* control() const noexcept { return reinterpret_cast<std::uint8_t*>(slots_ + capacity_); }

    // The slot holding `key`, or else the empty slot that ends its probe
    // (there always is one: the load stays below 1).
    std::size_t probe(std::uint64_t hash, std::string_view key) const noexcept {
        const std::uint8_t tag = tag_of(hash);
        const std::uint8_t* ctrl = control();
        for (std::size_t i = hash & mask();; i = (i + 1) & mask()) {
            if (ctrl[i] == kEmpty) return i;
            if (ctrl[i] == tag && slots_[i].hash == hash && same_text(slots_[i].key, key)) return i;
        }
    }

    // Stores a new entry in empty slot `i`.
    void fill(std::size_t i, std::uint64_t hash, Key key, V value) noexcept {
        ::new (static_cast<void*>(&slots_[i])) Entry{hash, std::move(key), std::move(value)};
        control()[i] = tag_of(hash);
        ++size_;
    }

    // Stores an entry whose key is known to be absent.
    void place(std::uint64_t hash, Key key, V value) noexcept {
        const std::uint8_t* ctrl = control();
        std::size_t i = hash & mask();
        while (ctrl[i] != kEmpty) i = (i + 1) & mask();
        fill(i, hash, std::move(key), std::move(value));
    }

    // The aligned forms of new and delete take a slower allocator path; most
    // entries need no more than the default alignment.
    static constexpr bool kDefaultAligned = alignof(Entry) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__;

    static void* allocate(std::size_t bytes) {
        if constexpr (kDefaultAligned) return ::operator new(bytes);
        return ::operator new(bytes, std::align_val_t{alignof(Entry)});
    }

    static void deallocate(void* storage) noexcept {
        if constexpr (kDefaultAligned) {
            ::operator delete(storage);
        } else {
            ::operator delete(storage, std::align_val_t{alignof(Entry)});
        }
    }

    void rehash(std::size_t capacity) {
        if (capacity > kMaxCapacity) throw std::length_error("hash table shard is full");
        void* storage = allocate(storage_bytes(capacity));
        OpenTable bigger;
        bigger.adopt(storage, capacity);
        bigger.borrowed_ = false;
        for_each([&bigger](const Entry& e) {
            Entry& moving = const_cast<Entry&>(e);
            bigger.place(moving.hash, std::move(moving.key), std::move(moving.value));
        });
        *this = std::move(bigger);
    }

    void destroy() noexcept {
        if (capacity_ == 0) return;
        if constexpr (!std::is_trivially_destructible_v<Entry>) {
            for_each([](const Entry& e) { e.~Entry(); });
        }
        if (!borrowed_) deallocate(slots_);
        slots_ = nullptr;
        capacity_ = size_ = 0;
        borrowed_ = false;
    }

    void steal(OpenTable& other) noexcept {
        slots_ = std::exchange(other.slots_, nullptr);
        capacity_ = other.capacity_;
        borrowed_ = other.borrowed_;
        size_ = std::exchange(other.size_, 0);
        other.capacity_ = 0;
        other.borrowed_ = false;
    }

    // The flag shares a word with the capacity, not the size: the size
    // changes on every insert, the capacity only when the table grows.
    Entry* slots_ = nullptr;
    std::uint32_t capacity_ : 31 = 0;
    std::uint32_t borrowed_ : 1 = false;  // storage belongs to the owner, not to this table
    std::uint32_t size_ = 0;
};

}  // namespace veldra
