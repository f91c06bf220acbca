#include "siphash.hpp"

#include <bit>
#include <cstring>

namespace veldra {
namespace {

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

std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t m;
    std::memcpy(&m, p, 8);
    if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
    return m;
}

// `trailer` < 0 means no extra byte; otherwise it is one more byte of input.
std::uint64_t sip13(HashKeys keys, std::string_view bytes, int trailer) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    const std::size_t total = n + (trailer >= 0 ? 1 : 0);
    SipState s(keys);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) s.compress(load_le64(p + i));

    unsigned char tail[8] = {};
    std::size_t rest = n - i;
    std::memcpy(tail, p + i, rest);
    if (trailer >= 0) {
        tail[rest++] = static_cast<unsigned char>(trailer);
        if (rest == 8) {
            s.compress(load_le64(tail));
            std::memset(tail, 0, sizeof tail);
            rest = 0;
        }
    }
    std::uint64_t last = static_cast<std::uint64_t>(total & 0xff) << 56;
    for (std::size_t j = 0; j < rest; ++j) last |= static_cast<std::uint64_t>(tail[j]) << (8 * j);
    s.compress(last);
    return s.finish();
}

}  // namespace

std::uint64_t siphash13(HashKeys keys, std::string_view bytes) noexcept {
    return sip13(keys, bytes, -1);
}

std::uint64_t hash_name(HashKeys keys, std::string_view name) noexcept {
    return sip13(keys, name, 0xff);
}

}  // namespace veldra
