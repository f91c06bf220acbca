#pragma once
// Byte-wise name order: unsigned bytes over the common length, then the
// shorter name first. This is the order of every listing the module returns.

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <cstdint>
#include <string_view>
#include <vector>

namespace veldra {

inline bool byte_less(std::string_view a, std::string_view b) noexcept {
    // char_traits<char> compares as unsigned char, which is exactly byte order.
    return a.compare(b) < 0;
}

// Sorts names into byte order. Most names differ within their first eight
// bytes, so those are compared as one big-endian integer before the rest.
inline void sort_names(std::vector<std::string_view>& names) {
    struct Keyed {
        std::uint64_t prefix;  // first eight bytes, zero-padded, big-endian
        std::string_view name;
    };
    auto keyed = [](std::string_view name) {
        std::uint64_t prefix = 0;
        if (name.size() >= 8) {
            std::memcpy(&prefix, name.data(), 8);
            if constexpr (std::endian::native == std::endian::little) prefix = __builtin_bswap64(prefix);
        } else {
            for (std::size_t i = 0; i < name.size(); ++i) {
                prefix |= std::uint64_t{static_cast<unsigned char>(name[i])} << (56 - 8 * i);
            }
        }
        return Keyed{prefix, name};
    };
    constexpr std::size_t kInline = 32;
    Keyed inline_buffer[kInline];
    std::vector<Keyed> heap;
    Keyed* items = inline_buffer;
    if (names.size() > kInline) {
        heap.resize(names.size());
        items = heap.data();
    }
    for (std::size_t i = 0; i < names.size(); ++i) items[i] = keyed(names[i]);
    // Equal prefixes (a shared first eight bytes, or zero padding against a
    // real zero byte) fall back to the full comparison.
    auto less = [](const Keyed& a, const Keyed& b) {
        return a.prefix != b.prefix ? a.prefix < b.prefix : byte_less(a.name, b.name);
    };
    // Insertion sort: stable, allocation-free, and quickest for the short
    // lists the module sorts; long lists take the library's stable sort.
    if (names.size() > kInline) {
        std::stable_sort(items, items + names.size(), less);
    } else {
        for (std::size_t i = 1; i < names.size(); ++i) {
            Keyed moving = items[i];
            std::size_t j = i;
            for (; j > 0 && less(moving, items[j - 1]); --j) items[j] = items[j - 1];
            items[j] = moving;
        }
    }
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = items[i].name;
}

// The place of each of a fixed set of distinct names in byte order, found once
// with the full comparison: ranks[i] is where names[i] goes. A listing whose
// items are known rows of that set is then sorted by putting each row at its
// rank, with no comparison on the call's path.
template <std::size_t N>
std::array<std::uint8_t, N> byte_order_ranks(const std::array<std::string_view, N>& names) {
    static_assert(N <= 256);
    std::vector<std::string_view> sorted(names.begin(), names.end());
    sort_names(sorted);
    std::array<std::uint8_t, N> ranks{};
    for (std::size_t i = 0; i < N; ++i) {
        ranks[i] = static_cast<std::uint8_t>(std::lower_bound(sorted.begin(), sorted.end(), names[i], byte_less) -
                                             sorted.begin());
    }
    return ranks;
}

}  // namespace veldra
