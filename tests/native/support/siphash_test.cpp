#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/siphash.hpp"
#include "testing/text.hpp"

using namespace veldra;

namespace {

const HashKeys kReferenceKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};

TEST(SipHash13, MatchesPublishedVectors) {
    const std::uint64_t expected[] = {
        0xabac0158050fc4dcULL, 0xc9f49bf37d57ca93ULL, 0x82cb9b024dc7d44dULL,
        0x8bf80ab8e7ddf7fbULL, 0xcf75576088d38328ULL, 0xdef9d52f49533b67ULL,
        0xc50d2b50c59f22a7ULL, 0xd3927d989bb11140ULL, 0x369095118d299a8eULL,
    };
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(siphash13(kReferenceKey, counting_bytes(i)), expected[i]) << "length " << i;
    }
}

// CPython's hash(bytes) under PYTHONHASHSEED=0 is SipHash-1-3 with a zero key.
TEST(SipHash13, MatchesInterpreterHashWithZeroKey) {
    struct Row { std::string bytes; bool as_name; std::int64_t python_hash; };
    const Row rows[] = {
        {"abc", false, -4594863902769663758LL},
        {"b3", true, 870370817191133949LL},
        {"topo_gen_check", true, 5473703924558839112LL},
    };
    for (const auto& row : rows) {
        const std::uint64_t h = row.as_name ? hash_name({}, row.bytes) : siphash13({}, row.bytes);
        EXPECT_EQ(static_cast<std::int64_t>(h), row.python_hash) << row.bytes;
    }
}

TEST(SipHash13, NameHashAppendsOneFFByte) {
    // Lengths around the 8-byte block edge, where the trailer completes a block.
    for (int n = 0; n < 20; ++n) {
        std::string name = counting_bytes(n);
        EXPECT_EQ(hash_name(kReferenceKey, name), siphash13(kReferenceKey, name + '\xff')) << n;
    }
}

}  // namespace
