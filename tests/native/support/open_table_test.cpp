#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "support/open_table.hpp"
#include "testing/text.hpp"

using namespace veldra;

namespace {

TEST(OpenTable, SizesForAtMostSevenEighthsLoad) {
    for (std::size_t count = 0; count <= 5000; ++count) {
        const std::size_t capacity = OpenTable<int>::capacity_for(count);
        ASSERT_TRUE(std::has_single_bit(capacity) && capacity >= 2) << count;
        EXPECT_LE(count * 8, capacity * 7) << count;
        if (capacity > 2) {
            EXPECT_GT(count * 8, capacity / 2 * 7) << count << ": not the smallest";
        }
    }
}

// The table trusts the caller's hash, so equal hashes force every key
// comparison: keys one byte apart, or one byte shorter, must never match.
TEST(OpenTable, TellsKeysApartWhenTheirHashesCollide) {
    const std::uint64_t collision = 0x9e3779b97f4a7c15ULL;
    for (int n = 0; n <= 24; ++n) {
        const std::string key = counting_bytes(n);
        OpenTable<int> table;
        table.insert(collision, key, n);
        ASSERT_NE(table.find(collision, key), nullptr) << n;
        std::vector<std::string> near_misses;
        for (int p = 0; p < n; ++p) {
            std::string changed = key;
            changed[p] = static_cast<char>(changed[p] ^ 0x80);
            near_misses.push_back(changed);
        }
        near_misses.push_back(key + '\0');
        if (n > 0) near_misses.push_back(key.substr(1));
        for (const auto& miss : near_misses) EXPECT_EQ(table.find(collision, miss), nullptr) << n;
        for (const auto& miss : near_misses) table.insert(collision, miss, -1);
        EXPECT_EQ(table.size(), near_misses.size() + 1) << n;
        EXPECT_EQ(table.find(collision, key)->value, n);
    }
}

// A table placed in storage that held anything before (a caller's stack) must
// see only its own entries, at every capacity, the padding of small ones too.
TEST(OpenTable, AdoptedStorageShowsOnlyWhatWasInserted) {
    using Table = OpenTable<int, std::string_view>;
    for (std::size_t capacity : {2u, 4u, 8u, 16u, 32u}) {
        std::vector<std::uint64_t> storage(Table::storage_bytes(capacity) / sizeof(std::uint64_t), ~std::uint64_t{0});
        Table table;
        table.adopt(storage.data(), capacity);
        const std::size_t count = capacity * 7 / 8;
        std::vector<std::string> keys;
        for (std::size_t i = 0; i < count; ++i) keys.push_back(counting_bytes(static_cast<int>(i + 1)));
        for (std::size_t i = 0; i < count; ++i) table.insert(0x0123456789abcdefULL * (i + 1), keys[i], static_cast<int>(i));
        std::vector<int> seen;
        table.for_each([&](const Table::Entry& e) { seen.push_back(e.value); });
        std::sort(seen.begin(), seen.end());
        ASSERT_EQ(seen.size(), count) << capacity;
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(seen[i], static_cast<int>(i)) << capacity;
        EXPECT_EQ(table.capacity(), capacity) << "grew at 7/8 load";
    }
}

}  // namespace
