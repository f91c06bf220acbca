#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/sharded_map.hpp"
#include "support/fault.hpp"
#include "support/hash_keys.hpp"
#include "support/siphash.hpp"
#include "testing/sharded_map_access.hpp"

using namespace veldra;

namespace {

using Access = ShardedMapTesting;

TEST(ShardSelection, UsesTheBitsBelowTheTopSeven) {
    // With 4 shards (shift 62) the index is bits 56..55 of the hash.
    const std::uint64_t bit56 = 1ULL << 56;
    const std::uint64_t top7 = 0x7fULL << 57;
    struct Row { std::uint64_t hash; std::size_t shard; };
    const Row rows[] = {
        {bit56, 2},
        {bit56 | top7, 2},
        {bit56 | (0x55ULL << 57) | 0xffffffULL, 2},
        {bit56 | (1ULL << 55), 3},
        {1ULL << 55, 1},
        {top7, 0},
        {~(3ULL << 55), 0},
    };
    for (const auto& row : rows) EXPECT_EQ(shard_index(row.hash, 62), row.shard) << std::hex << row.hash;
    EXPECT_EQ(shard_index(~0ULL, 64 - 10), 1023u);
}

TEST(ShardedMap, RejectsShardCountsThatAreNotPowersOfTwoAboveOne) {
    struct Row { std::size_t count; const char* message; };
    const Row rows[] = {
        {0, "assertion failed: shard_amount > 1"},
        {1, "assertion failed: shard_amount > 1"},
        {3, "assertion failed: shard_amount.is_power_of_two()"},
        {24, "assertion failed: shard_amount.is_power_of_two()"},
    };
    for (const auto& row : rows) {
        try {
            ShardedMap<int> map(row.count);
            ADD_FAILURE() << "accepted " << row.count;
        } catch (const Fault& fault) {
            EXPECT_EQ(fault.message(), row.message);
        }
    }
    EXPECT_EQ(ShardedMap<int>(2).shift(), 63u);
    EXPECT_EQ(ShardedMap<int>(1024).shift(), 54u);
}

TEST(ShardedMap, IteratesShardsInIndexOrderAsTheHashSelects) {
    for (std::size_t shards : {2u, 4u, 16u, 1024u}) {
        ShardedMap<int> map(shards);
        const int bits = std::countr_zero(shards);
        for (int i = 0; i < 300; ++i) Access::insert(map, "key" + std::to_string(i), i);
        std::size_t last = 0;
        std::vector<std::size_t> per_shard(shards);
        map.for_each([&](std::string_view key, const int&) {
            // Independent reading of the rule: the `bits` bits just below bit 57.
            const std::uint64_t h = hash_name(map.hash_keys(), key);
            const std::size_t shard = (h >> (57 - bits)) & (shards - 1);
            EXPECT_GE(shard, last) << key;
            last = shard;
            ++per_shard[shard];
        });
        for (std::size_t s = 0; s < shards; ++s) EXPECT_EQ(Access::shard_len(map, s), per_shard[s]);
    }
}

TEST(ShardedMap, BehavesLikeAnOrderedMap) {
    ShardedMap<std::string> map(8);
    std::map<std::string, std::string> model;
    for (int i = 0; i < 500; ++i) {
        // Appended, not "k" + …: GCC 12 warns falsely (-Wrestrict) on that form here.
        std::string key = "k";
        key += std::to_string(i % 137);
        std::string value = "v";
        value += std::to_string(i);
        auto previous = Access::insert(map, key, value);
        auto it = model.find(key);
        if (it == model.end()) {
            EXPECT_FALSE(previous.has_value()) << key;
            model.emplace(key, value);
        } else {
            ASSERT_TRUE(previous.has_value()) << key;
            EXPECT_EQ(*previous, it->second);
            it->second = value;
        }
    }
    EXPECT_EQ(map.len(), model.size());
    for (const auto& [key, value] : model) EXPECT_EQ(Access::get(map, key), value);
    for (const char* absent : {"", "k", "k137", "K1", "k1 "}) EXPECT_FALSE(Access::get(map, absent)) << absent;

    EXPECT_TRUE(Access::same_keys(map, model));
}

TEST(ShardedMap, BulkBuildMatchesInsertingInOrder) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 200; ++i) {
        entries.emplace_back("key-" + std::to_string(i % 61), std::string(i % 3 ? 40 : 3, 'a' + i % 26) + std::to_string(i));
    }
    // 2048 shards and 200 entries: more than the builder counts on its stack.
    for (std::size_t shards : {2u, 64u, 1024u, 2048u}) {
        ShardedMap<std::string> built(shards, entries);
        ShardedMap<std::string> inserted(shards);
        for (const auto& [k, v] : entries) Access::insert(inserted, k, v);
        EXPECT_EQ(built.len(), 61u);
        EXPECT_EQ(built.len(), inserted.len());
        for (const auto& [k, v] : entries) EXPECT_EQ(Access::get(built, k), Access::get(inserted, k)) << k;
        // Tables sized for the build still grow when more arrives later.
        for (int i = 0; i < 300; ++i) Access::insert(built, "late-" + std::to_string(i), "x");
        EXPECT_EQ(built.len(), 361u);
        EXPECT_EQ(Access::get(built, "late-299"), "x");
        EXPECT_EQ(Access::get(built, "key-60"), Access::get(inserted, "key-60"));
    }
    ShardedMap<std::string> empty(8, {});
    EXPECT_EQ(empty.len(), 0u);
    EXPECT_TRUE(Access::names(empty).empty());
}

TEST(ShardedMap, KeepsTheFirstKeyTextOnReplace) {
    ShardedMap<int> map(4);
    Access::insert(map, "same", 1);
    EXPECT_EQ(Access::insert(map, std::string("same"), 2), 1);
    std::vector<std::pair<std::string, int>> seen;
    map.for_each([&](std::string_view k, const int& v) { seen.emplace_back(k, v); });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (std::pair<std::string, int>("same", 2)));
}

TEST(HashKeys, EachMapTakesTheThreadPairAndAdvancesK0) {
    ShardedMap<int> first(4);
    ShardedMap<int> second(4);
    EXPECT_EQ(second.hash_keys().k0, first.hash_keys().k0 + 1);
    EXPECT_EQ(second.hash_keys().k1, first.hash_keys().k1);
    const HashKeys next = next_map_keys();
    EXPECT_EQ(next.k0, second.hash_keys().k0 + 1);
}

}  // namespace
