#pragma once
// SipHash-1-3: one compression round per 8-byte block, three finalisation rounds.

#include <cstdint>
#include <string_view>

namespace veldra {

struct HashKeys {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// Hash of exactly the given bytes.
std::uint64_t siphash13(HashKeys keys, std::string_view bytes) noexcept;

// Hash of a map key: its UTF-8 bytes followed by one 0xFF byte, so that no
// key's byte stream is a prefix of another's.
std::uint64_t hash_name(HashKeys keys, std::string_view name) noexcept;

}  // namespace veldra
