#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "catalogue.hpp"
#include "constant_listing.hpp"
#include "formulas_registry.hpp"
#include "hash_keys.hpp"
#include "name_order.hpp"
#include "name_suggestion.hpp"
#include "open_table.hpp"
#include "registry_error.hpp"
#include "sharded_map.hpp"
#include "short_text.hpp"
#include "siphash.hpp"

using namespace veldra;

namespace {

const HashKeys kReferenceKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};

std::string counting_bytes(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
    return s;
}

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
        for (int i = 0; i < 300; ++i) map.insert("key" + std::to_string(i), i);
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
        for (std::size_t s = 0; s < shards; ++s) EXPECT_EQ(map.shard_len(s), per_shard[s]);
    }
}

TEST(ShardedMap, BehavesLikeAnOrderedMap) {
    ShardedMap<std::string> map(8);
    std::map<std::string, std::string> model;
    for (int i = 0; i < 500; ++i) {
        std::string key = "k" + std::to_string(i % 137);
        std::string value = "v" + std::to_string(i);
        auto previous = map.insert(key, value);
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
    for (const auto& [key, value] : model) EXPECT_EQ(map.get(key), value);
    for (const char* absent : {"", "k", "k137", "K1", "k1 "}) EXPECT_FALSE(map.get(absent)) << absent;

    std::vector<std::string> names = map.names();
    std::sort(names.begin(), names.end());
    std::vector<std::string> keys;
    for (const auto& kv : model) keys.push_back(kv.first);
    EXPECT_EQ(names, keys);
}

TEST(ShardedMap, BulkBuildMatchesInsertingInOrder) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 200; ++i) {
        entries.emplace_back("key-" + std::to_string(i % 61), std::string(i % 3 ? 40 : 3, 'a' + i % 26) + std::to_string(i));
    }
    // 2048 shards: more than the builder counts on its stack.
    for (std::size_t shards : {2u, 64u, 1024u, 2048u}) {
        ShardedMap<std::string> built(shards, entries);
        ShardedMap<std::string> inserted(shards);
        for (const auto& [k, v] : entries) inserted.insert(k, v);
        EXPECT_EQ(built.len(), 61u);
        EXPECT_EQ(built.len(), inserted.len());
        for (const auto& [k, v] : entries) EXPECT_EQ(built.get(k), inserted.get(k)) << k;
        // Tables sized for the build still grow when more arrives later.
        for (int i = 0; i < 300; ++i) built.insert("late-" + std::to_string(i), "x");
        EXPECT_EQ(built.len(), 361u);
        EXPECT_EQ(built.get("late-299"), "x");
        EXPECT_EQ(built.get("key-60"), inserted.get("key-60"));
    }
    ShardedMap<std::string> empty(8, {});
    EXPECT_EQ(empty.len(), 0u);
    EXPECT_TRUE(empty.names().empty());
}

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

// Every length from 0 to 40 crosses each of the short-text paths (bytes,
// two 4-byte words, two 8-byte words, the library) and their edges.
TEST(ShortText, ComparesChecksAndCopiesEveryLength) {
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('a' + i % 26));
        EXPECT_TRUE(is_ascii(text)) << n;
        EXPECT_TRUE(same_text(text, std::string(text))) << n;
        for (std::size_t i = 0; i < n; ++i) {
            std::string high = text;
            high[i] = static_cast<char>(0x80 | high[i]);
            EXPECT_FALSE(is_ascii(high)) << n << " at " << i;
            EXPECT_FALSE(same_text(text, high)) << n << " at " << i;
        }
        if (n > 0) {
            EXPECT_FALSE(same_text(text, text.substr(0, n - 1))) << n;
        }

        std::string buffer(n + 2, '#');
        copy_text(buffer.data() + 1, text);
        EXPECT_EQ(buffer, "#" + text + "#") << n;
    }
}

TEST(ShardedMap, KeepsTheFirstKeyTextOnReplace) {
    ShardedMap<int> map(4);
    map.insert("same", 1);
    EXPECT_EQ(map.insert(std::string("same"), 2), 1);
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

struct CatalogueRow {
    const char* name;
    double value;
    const char* units;
    ConstantStatus status;
    const char* expression;  // nullptr for a seed constant
    std::vector<std::string> dependencies;
};

const std::vector<CatalogueRow>& catalogue_table() {
    static const std::vector<CatalogueRow> rows = {
        {"b3", 24.0, "dimensionless", ConstantStatus::Seed, nullptr, {}},
        {"chi_eff", 72.0, "dimensionless", ConstantStatus::Seed, nullptr, {}},
        {"n_gen", 3.0, "count", ConstantStatus::Seed, nullptr, {}},
        {"roots_total", 288.0, "count", ConstantStatus::Seed, nullptr, {}},
        {"visible_sector", 125.0, "count", ConstantStatus::Seed, nullptr, {}},
        {"sterile_sector", 163.0, "count", ConstantStatus::Seed, nullptr, {}},
        {"phi", 1.618033988749895, "dimensionless", ConstantStatus::Seed, nullptr, {}},
        {"gamma_em", 0.5772156649015329, "dimensionless", ConstantStatus::Seed, nullptr, {}},
        {"jc_constant", 153.0, "count", ConstantStatus::Seed, nullptr, {}},
        {"logic_closure", 288.0, "count", ConstantStatus::Seed, nullptr, {}},
        {"v_higgs_mev", 0.0, "MeV", ConstantStatus::Pending, "246220", {}},
        {"sterile_check", 0.0, "count", ConstantStatus::Pending, "roots_total - visible_sector",
         {"roots_total", "visible_sector"}},
        {"n_gen_sq", 0.0, "count", ConstantStatus::Pending, "n_gen * n_gen", {"n_gen"}},
        {"h0_central", 0.0, "km/s/Mpc", ConstantStatus::Pending, "70", {}},
        {"w0_central", 0.0, "dimensionless", ConstantStatus::Pending, "-1", {}},
        {"m_tau_mev", 0.0, "MeV", ConstantStatus::Pending, "1776.86", {}},
        {"topo_gen_check", 0.0, "count", ConstantStatus::Pending, "chi_eff / b3", {"chi_eff", "b3"}},
    };
    return rows;
}

TEST(FormulasRegistry, HoldsExactlyTheCatalogue) {
    for (std::size_t shards : {2u, 8u, 1024u}) {
        FormulasRegistry registry(shards);
        EXPECT_EQ(registry.len(), 17u);
        for (const auto& row : catalogue_table()) {
            auto entry = registry.get(row.name);
            ASSERT_TRUE(entry) << row.name;
            EXPECT_EQ(entry->name, row.name);
            EXPECT_EQ(std::memcmp(&entry->value, &row.value, sizeof(double)), 0) << row.name;
            EXPECT_EQ(entry->units, row.units) << row.name;
            EXPECT_EQ(entry->status, row.status) << row.name;
            EXPECT_FALSE(entry->uncertainty) << row.name;
            if (row.expression) {
                EXPECT_EQ(entry->expression, std::optional<std::string>(row.expression)) << row.name;
            } else {
                EXPECT_FALSE(entry->expression) << row.name;
            }
            EXPECT_EQ(entry->dependencies, row.dependencies) << row.name;
        }
        std::set<std::string_view> names;
        for (auto n : registry.names()) names.insert(n);
        EXPECT_EQ(names.size(), 17u);
    }
}

TEST(FormulasRegistry, StoresTheNearestDoublesToPhiAndGamma) {
    const double phi = static_cast<double>((1.0L + std::sqrt(5.0L)) / 2.0L);
    EXPECT_EQ(FormulasRegistry(4).get("phi")->value, phi);
    // The Euler–Mascheroni constant to 30 digits, rounded once to double.
    EXPECT_EQ(FormulasRegistry(4).get("gamma_em")->value, std::strtod("0.577215664901532860606512090082", nullptr));
}

TEST(FormulasRegistry, NumberExpressionsAreTheirShortestPlainDecimals) {
    struct Row { double value; const char* text; };
    for (const Row& row : {Row{246220.0, "246220"}, Row{70.0, "70"}, Row{-1.0, "-1"}, Row{1776.86, "1776.86"},
                           Row{0.5, "0.5"}, Row{1e21, "1000000000000000000000"}}) {
        EXPECT_EQ(plain_decimal(row.value), row.text);
    }
}

TEST(FormulasRegistry, LookupIsByteExactAndReportsTheGivenName) {
    FormulasRegistry registry(8);
    for (const char* name : {"B3", " b3", "b3 ", "", "b4", "sterile", "name with `tick`", "line\nbreak"}) {
        auto result = registry.get(name);
        ASSERT_FALSE(result) << name;
        EXPECT_EQ(std::get<NotFound>(result.error().kind).name, name);
    }
}

TEST(FormulasRegistry, HandsOutIndependentCopies) {
    FormulasRegistry registry(8);
    auto copy = registry.get("topo_gen_check");
    copy->value = 9.0;
    copy->dependencies.clear();
    copy->expression->assign("changed");
    auto again = registry.get("topo_gen_check");
    EXPECT_EQ(again->value, 0.0);
    EXPECT_EQ(again->dependencies, (std::vector<std::string>{"chi_eff", "b3"}));
    EXPECT_EQ(*again->expression, "chi_eff / b3");
}

TEST(FormulasRegistry, TwoRegistriesHoldTheSameEntries) {
    FormulasRegistry a(8), b(8);
    EXPECT_NE(a.entries().hash_keys().k0, b.entries().hash_keys().k0);
    std::map<std::string, Constant> seen_a, seen_b;
    a.for_each([&](std::string_view k, const CatalogueEntry& c) { seen_a.emplace(k, c.to_constant()); });
    b.for_each([&](std::string_view k, const CatalogueEntry& c) { seen_b.emplace(k, c.to_constant()); });
    EXPECT_EQ(seen_a, seen_b);
    EXPECT_EQ(seen_a.size(), 17u);
    for (const auto& [key, entry] : seen_a) EXPECT_EQ(key, entry.name);
}

TEST(RegistryError, FormatsEveryVariant) {
    struct Row { RegistryError error; std::string text; };
    const Row rows[] = {
        {{NotFound{"b4"}}, "constant `b4` not found in registry"},
        {{NotFound{""}}, "constant `` not found in registry"},
        {{NotFound{"a`b\nc"}}, "constant `a`b\nc` not found in registry"},
        {{NotImplemented{"x"}}, "derivation of `x` is not yet implemented in veldra_core"},
        {{LoadFailed{"/nope", IoError{2}}},
         "failed to load constants from `/nope`: No such file or directory (os error 2)"},
        {{InvalidSchema{"c.json"}}, "invalid JSON schema in `c.json`"},
        {{CyclicDerivation{"a"}}, "cyclic derivation involving `a`"},
        {{ParseError{"x", "y"}}, "expression parse error in `x`: y"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.error.message(), row.text);
}

TEST(ConstantListing, IsTheCatalogueInByteOrder) {
    const std::array<std::string_view, 17> expected = {
        "b3", "chi_eff", "gamma_em", "h0_central", "jc_constant", "logic_closure",
        "m_tau_mev", "n_gen", "n_gen_sq", "phi", "roots_total", "sterile_check",
        "sterile_sector", "topo_gen_check", "v_higgs_mev", "visible_sector", "w0_central",
    };
    for (int i = 0; i < 5; ++i) EXPECT_EQ(list_constant_names(), expected);
}

TEST(NameOrder, RanksAreThePlacesInByteOrder) {
    using namespace std::string_view_literals;
    // Each row: names in some order, and where each belongs in byte order.
    struct Row { std::array<std::string_view, 5> names; std::array<std::uint8_t, 5> ranks; };
    const Row rows[] = {
        {{"e"sv, "d"sv, "c"sv, "b"sv, "a"sv}, {4, 3, 2, 1, 0}},
        {{"n_gen_sq"sv, "n_gen"sv, "n"sv, ""sv, "n_gen_s"sv}, {4, 2, 1, 0, 3}},
        {{"\xff"sv, "\x7f"sv, "\x80x"sv, "\x00"sv, "zz"sv}, {4, 2, 3, 0, 1}},
        {{"sterile_sector"sv, "sterile_check"sv, "abcdefgh2"sv, "abcdefgh10"sv, "abcdefgh"sv}, {4, 3, 2, 1, 0}},
    };
    for (const auto& row : rows) EXPECT_EQ(byte_order_ranks(row.names), row.ranks) << row.names[0];
}

TEST(NameOrder, ComparesUnsignedBytesThenLength) {
    using namespace std::string_view_literals;
    struct Row { std::vector<std::string_view> in, out; };
    const Row rows[] = {
        {{"\xc2\xb5", "b", "a\x7f", "ab", "a", "", "A", "a\x80"}, {"", "A", "a", "ab", "a\x7f", "a\x80", "b", "\xc2\xb5"}},
        // Ties in the first eight bytes, and zero padding against real zero bytes.
        {{"sterile_sector", "sterile_check", "sterile_", "sterile"}, {"sterile", "sterile_", "sterile_check", "sterile_sector"}},
        {{"ab\0"sv, "ab", "ab\0\0"sv, "ab\x01"}, {"ab", "ab\0"sv, "ab\0\0"sv, "ab\x01"}},
        {{"n_gen_sq", "n_gen"}, {"n_gen", "n_gen_sq"}},
        {{}, {}},
        {{"only"}, {"only"}},
    };
    for (const auto& row : rows) {
        auto names = row.in;
        sort_names(names);
        EXPECT_EQ(names, row.out);
    }
    // Longer than the inline buffer: the library sort takes over.
    std::vector<std::string> owned;
    for (int i = 99; i >= 0; --i) owned.push_back("name" + std::to_string(i));
    std::vector<std::string_view> many(owned.begin(), owned.end());
    sort_names(many);
    EXPECT_TRUE(std::is_sorted(many.begin(), many.end()));
}

}  // namespace

namespace {

TEST(NameSuggestion, PointsAtTheCatalogueNameMeant) {
    struct Row { const char* name; std::optional<std::string> suggestion; };
    const Row rows[] = {
        {"B3", "b3"},
        {" b3", "b3"},
        {"b3 ", "b3"},
        {"  PHI ", "phi"},
        {"Chi_Eff", "chi_eff"},
        {"b4", "b3"},
        {"chi_ef", "chi_eff"},
        {"chieff", "chi_eff"},
        {"n_gen_s", "n_gen_sq"},   // one from n_gen_sq, two from n_gen: nearest wins
        {"n_ge", "n_gen"},
        {"sterile_chek", "sterile_check"},
        {"sterile_sectr", "sterile_sector"},
        {"gamma", std::nullopt},
        {"", std::nullopt},        // would replace every byte of "b3"
        {"x", std::nullopt},
        {"b3", std::nullopt},      // present: nothing to suggest
        {"no_such_name", std::nullopt},
        {"\xc2\xb5", std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(suggest_catalogue_name(row.name), row.suggestion) << row.name;
}

TEST(NameSuggestion, BreaksTiesByByteOrder) {
    const std::vector<std::string_view> candidates = {"abd", "abc", "abe"};
    EXPECT_EQ(suggest_name("abx", candidates), "abc");
    EXPECT_EQ(suggest_name("ABD", candidates), "abd");  // case-only match beats distance 1
}

}  // namespace
