// The registry against its catalogue. The catalogue's values themselves are
// checked once, from Python, against the package's own table; here the
// registry must hold exactly those rows, and the rows must be well formed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <variant>

#include "registry/builtin_entries.hpp"
#include "registry/constant_listing.hpp"
#include "registry/formulas_registry.hpp"
#include "support/name_order.hpp"

using namespace veldra;

namespace {

const Constant* catalogue_row(std::string_view name) {
    for (const Constant& row : builtin_entries()) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

TEST(FormulasRegistry, HoldsExactlyTheCatalogueRows) {
    ASSERT_EQ(builtin_entries().size(), kBuiltinEntryCount);
    for (std::size_t shards : {2u, 8u, 1024u}) {
        FormulasRegistry registry(shards);
        EXPECT_EQ(registry.len(), kBuiltinEntryCount);
        for (const Constant& row : builtin_entries()) EXPECT_EQ(registry.find(row.name), &row) << row.name;
        std::set<std::string_view> visited;
        registry.for_each([&](std::string_view name, const Constant& row) {
            EXPECT_EQ(name, row.name);
            visited.insert(name);
        });
        EXPECT_EQ(visited.size(), kBuiltinEntryCount);
    }
}

TEST(FormulasRegistry, CatalogueHasTenSeedsThenSevenFormulasOverSeeds) {
    const auto rows = builtin_entries();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Constant& row = rows[i];
        EXPECT_FALSE(row.uncertainty) << row.name;
        EXPECT_EQ(row.status == ConstantStatus::Seed, i < 10) << row.name;
        if (row.status == ConstantStatus::Seed) {
            EXPECT_FALSE(row.expression) << row.name;
            EXPECT_TRUE(row.dependencies.empty()) << row.name;
            continue;
        }
        EXPECT_EQ(row.status, ConstantStatus::Pending) << row.name;
        EXPECT_EQ(row.value, 0.0) << row.name;
        ASSERT_TRUE(row.expression) << row.name;
        if (row.dependencies.empty()) {
            // A number kept as text: the shortest plain decimal of its float.
            EXPECT_EQ(plain_decimal(std::strtod(row.expression->c_str(), nullptr)), *row.expression) << row.name;
        }
        for (const std::string& dependency : row.dependencies) {
            const Constant* seed = catalogue_row(dependency);
            ASSERT_NE(seed, nullptr) << row.name << " depends on " << dependency;
            EXPECT_EQ(seed->status, ConstantStatus::Seed) << dependency;
            EXPECT_NE(row.expression->find(dependency), std::string::npos) << row.name;
        }
    }
}

TEST(FormulasRegistry, StoresTheNearestDoublesToPhiAndGamma) {
    FormulasRegistry registry(4);
    const double phi = static_cast<double>((1.0L + std::sqrt(5.0L)) / 2.0L);
    EXPECT_EQ(registry.value("phi").value(), phi);
    // The Euler–Mascheroni constant to 30 digits, rounded once to double.
    EXPECT_EQ(registry.value("gamma_em").value(), std::strtod("0.577215664901532860606512090082", nullptr));
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
        EXPECT_EQ(registry.find(name), nullptr) << name;
        auto result = registry.value(name);
        ASSERT_FALSE(result) << name;
        EXPECT_EQ(std::get<NotFound>(result.error().kind).name, name);
    }
}

TEST(FormulasRegistry, TwoRegistriesHoldTheSameEntriesUnderDifferentKeys) {
    FormulasRegistry a(8), b(8);
    EXPECT_NE(a.hash_keys().k0, b.hash_keys().k0);
    std::map<std::string_view, const Constant*> seen_a, seen_b;
    a.for_each([&](std::string_view k, const Constant& c) { seen_a.emplace(k, &c); });
    b.for_each([&](std::string_view k, const Constant& c) { seen_b.emplace(k, &c); });
    EXPECT_EQ(seen_a, seen_b);
}

TEST(ConstantListing, IsTheCatalogueInByteOrder) {
    std::array<std::string_view, kBuiltinEntryCount> expected;
    std::transform(builtin_entries().begin(), builtin_entries().end(), expected.begin(), [](const Constant& c) {
        return std::string_view(c.name);
    });
    std::sort(expected.begin(), expected.end(), byte_less);
    // Every call builds a registry under fresh keys, so its order differs each time.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(list_constant_names(), expected);
}

}  // namespace
