#pragma once
// Byte work on short texts (names, units, versions: mostly under 16 bytes).
// Up to 16 bytes are handled as two overlapping words per side, which costs
// less than a library call or a byte loop at these lengths.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace veldra {

namespace short_text_detail {

template <class W>
W load(const char* p) noexcept {
    W w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

template <class W>
void store(char* p, W w) noexcept {
    std::memcpy(p, &w, sizeof w);
}

}  // namespace short_text_detail

// Byte-exact equality.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
    using short_text_detail::load;
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    if (n > 16) return std::memcmp(p, q, n) == 0;
    if (n >= 8) return load<std::uint64_t>(p) == load<std::uint64_t>(q) &&
                       load<std::uint64_t>(p + n - 8) == load<std::uint64_t>(q + n - 8);
    if (n >= 4) return load<std::uint32_t>(p) == load<std::uint32_t>(q) &&
                       load<std::uint32_t>(p + n - 4) == load<std::uint32_t>(q + n - 4);
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) return false;
    }
    return true;
}

// Whether every byte is below 0x80.
inline bool is_ascii(std::string_view text) noexcept {
    using short_text_detail::load;
    const char* p = text.data();
    const std::size_t n = text.size();
    std::uint64_t seen = 0;
    if (n >= 8) {
        seen = load<std::uint64_t>(p + n - 8);
        for (std::size_t i = 0; i + 8 <= n; i += 8) seen |= load<std::uint64_t>(p + i);
    } else if (n >= 4) {
        seen = load<std::uint32_t>(p) | load<std::uint32_t>(p + n - 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) seen |= static_cast<unsigned char>(p[i]);
    }
    return (seen & 0x8080808080808080ULL) == 0;
}

// Copies text.size() bytes to `to` (which must not overlap the text).
inline void copy_text(char* to, std::string_view text) noexcept {
    using short_text_detail::load;
    using short_text_detail::store;
    const char* from = text.data();
    const std::size_t n = text.size();
    if (n > 16) {
        std::memcpy(to, from, n);
    } else if (n >= 8) {
        const auto head = load<std::uint64_t>(from);
        const auto tail = load<std::uint64_t>(from + n - 8);
        store(to, head);
        store(to + n - 8, tail);
    } else if (n >= 4) {
        const auto head = load<std::uint32_t>(from);
        const auto tail = load<std::uint32_t>(from + n - 4);
        store(to, head);
        store(to + n - 4, tail);
    } else {
        for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

}  // namespace veldra
