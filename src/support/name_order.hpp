#pragma once
// Byte-wise name order: unsigned bytes over the common length, then the
// shorter name first. This is the order of every listing the module returns.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

namespace veldra {

inline bool byte_less(std::string_view a, std::string_view b) noexcept {
    // char_traits<char> compares as unsigned char, which is exactly byte order.
    return a.compare(b) < 0;
}

// The place of each of a fixed set of distinct names in byte order: ranks[i]
// is where names[i] goes. Worked out once per process for the built-in
// entries and the quark table; a listing whose items are known rows of that set is then
// sorted by putting each row at its rank, with no comparison on the call's path.
template <std::size_t N>
std::array<std::uint8_t, N> byte_order_ranks(const std::array<std::string_view, N>& names) {
    static_assert(N <= 256);
    std::array<std::string_view, N> sorted = names;
    std::sort(sorted.begin(), sorted.end(), byte_less);
    std::array<std::uint8_t, N> ranks{};
    for (std::size_t i = 0; i < N; ++i) {
        ranks[i] = static_cast<std::uint8_t>(std::lower_bound(sorted.begin(), sorted.end(), names[i], byte_less) -
                                             sorted.begin());
    }
    return ranks;
}

}  // namespace veldra
