#pragma once
// An open-addressing hash table from owned text keys to values, with linear
// probing and one heap block per table (slots first, then one control byte
// per slot). The caller supplies each key's 64-bit hash, so a table owned by a
// sharded map never hashes a key twice. It starts with no capacity: an empty
// table allocates nothing. There is no removal, hence no tombstones.
// Not synchronised: its owner locks around it.

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace veldra {

template <class V>
class OpenTable {
public:
    struct Entry {
        std::uint64_t hash;
        std::string key;
        V value;
    };

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

    // The entry stored under `key`, or nullptr.
    const Entry* find(std::uint64_t hash, std::string_view key) const noexcept {
        if (capacity_ == 0) return nullptr;
        const std::uint8_t tag = tag_of(hash);
        for (std::size_t i = hash & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
            const std::uint8_t c = ctrl_[i];
            if (c == kEmpty) return nullptr;
            if (c == tag && slots_[i].hash == hash && slots_[i].key == key) return &slots_[i];
        }
    }

    // Adds `key` → `value`. When the key is present, the stored key stays, the
    // value is replaced and the previous value returned. Strong guarantee: on
    // std::bad_alloc from growing, the table is unchanged.
    std::optional<V> insert(std::uint64_t hash, std::string key, V value) {
        if (capacity_ != 0) {
            if (Entry* hit = const_cast<Entry*>(find(hash, key))) {
                std::optional<V> previous(std::move(hit->value));
                hit->value = std::move(value);
                return previous;
            }
        }
        if ((size_ + 1) * 8 > capacity_ * 7) grow();
        place(hash, std::move(key), std::move(value));
        return std::nullopt;
    }

    // Visits every entry in slot order.
    template <class F>
    void for_each(F&& visit) const {
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (ctrl_[i] != kEmpty) visit(std::as_const(slots_[i]));
        }
    }

private:
    static constexpr std::uint8_t kEmpty = 0;
    static constexpr std::size_t kFirstCapacity = 4;

    // The top seven bits of the hash, with the high bit marking a full slot.
    static std::uint8_t tag_of(std::uint64_t hash) noexcept {
        return static_cast<std::uint8_t>(0x80 | (hash >> 57));
    }

    static std::size_t block_bytes(std::size_t capacity) noexcept {
        return capacity * sizeof(Entry) + capacity;
    }

    void place(std::uint64_t hash, std::string key, V value) noexcept {
        std::size_t i = hash & (capacity_ - 1);
        while (ctrl_[i] != kEmpty) i = (i + 1) & (capacity_ - 1);
        ::new (static_cast<void*>(&slots_[i])) Entry{hash, std::move(key), std::move(value)};
        ctrl_[i] = tag_of(hash);
        ++size_;
    }

    void grow() {
        const std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
        void* block = ::operator new(block_bytes(capacity), std::align_val_t{alignof(Entry)});
        OpenTable bigger;
        bigger.slots_ = static_cast<Entry*>(block);
        bigger.ctrl_ = reinterpret_cast<std::uint8_t*>(bigger.slots_ + capacity);
        bigger.capacity_ = capacity;
        for (std::size_t i = 0; i < capacity; ++i) bigger.ctrl_[i] = kEmpty;
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (ctrl_[i] == kEmpty) continue;
            Entry& e = slots_[i];
            bigger.place(e.hash, std::move(e.key), std::move(e.value));
        }
        *this = std::move(bigger);
    }

    void destroy() noexcept {
        if (capacity_ == 0) return;
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (ctrl_[i] != kEmpty) slots_[i].~Entry();
        }
        ::operator delete(static_cast<void*>(slots_), std::align_val_t{alignof(Entry)});
        slots_ = nullptr;
        ctrl_ = nullptr;
        capacity_ = size_ = 0;
    }

    void steal(OpenTable& other) noexcept {
        slots_ = std::exchange(other.slots_, nullptr);
        ctrl_ = std::exchange(other.ctrl_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
    }

    Entry* slots_ = nullptr;
    std::uint8_t* ctrl_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace veldra
