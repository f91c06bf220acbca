#pragma once
// SipHash-1-3: one compression round per 8-byte block, three finalisation rounds.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace veldra {

struct HashKeys {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

namespace siphash_detail {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    explicit SipState(HashKeys k) noexcept
        : v0(k.k0 ^ 0x736f6d6570736575ULL),
          v1(k.k1 ^ 0x646f72616e646f6dULL),
          v2(k.k0 ^ 0x6c7967656e657261ULL),
          v3(k.k1 ^ 0x7465646279746573ULL) {}

    void round() noexcept {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    }

    void compress(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }

    std::uint64_t finish() noexcept {
        v2 ^= 0xff;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t m;
    std::memcpy(&m, p, 8);
    if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
    return m;
}

inline std::uint32_t load_le32(const unsigned char* p) noexcept {
    std::uint32_t m;
    std::memcpy(&m, p, 4);
    if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap32(m);
    return m;
}

// The last 0..7 bytes of a message as the low bytes of a word, read with a
// few fixed-size loads (two of which may overlap) instead of a byte loop or
// a variable-length copy: names are short, so this runs once per hash.
inline std::uint64_t load_tail(const unsigned char* p, std::size_t n) noexcept {
    if (n >= 4) {
        return load_le32(p) | (static_cast<std::uint64_t>(load_le32(p + n - 4)) << (8 * (n - 4)));
    }
    if (n == 0) return 0;
    return static_cast<std::uint64_t>(p[0]) | (static_cast<std::uint64_t>(p[n / 2]) << (8 * (n / 2))) |
           (static_cast<std::uint64_t>(p[n - 1]) << (8 * (n - 1)));
}

// `trailer` < 0 means no extra byte; otherwise it is one more byte of input.
inline std::uint64_t sip13(HashKeys keys, std::string_view bytes, int trailer) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    const std::size_t total = n + (trailer >= 0 ? 1 : 0);
    SipState s(keys);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) s.compress(load_le64(p + i));

    const std::size_t rest = n - i;
    std::uint64_t last = load_tail(p + i, rest);
    const std::uint64_t length_byte = static_cast<std::uint64_t>(total & 0xff) << 56;
    if (trailer >= 0) {
        last |= static_cast<std::uint64_t>(trailer) << (8 * rest);
        if (rest == 7) {  // the trailer completed a block of its own
            s.compress(last);
            last = 0;
        }
    }
    s.compress(last | length_byte);
    return s.finish();
}

}  // namespace siphash_detail

// Hash of exactly the given bytes.
inline std::uint64_t siphash13(HashKeys keys, std::string_view bytes) noexcept {
    return siphash_detail::sip13(keys, bytes, -1);
}

// Hash of a map key: its UTF-8 bytes followed by one 0xFF byte, so that no
// key's byte stream is a prefix of another's. Inline: it sits on every lookup.
inline std::uint64_t hash_name(HashKeys keys, std::string_view name) noexcept {
    return siphash_detail::sip13(keys, name, 0xff);
}

}  // namespace veldra
