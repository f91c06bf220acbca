#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "particles/ckm_matrix.hpp"
#include "particles/quark_registry.hpp"

using namespace veldra;

namespace {

std::int64_t ordered_bits(double x) {
    std::int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

TEST(QuarkRegistry, HoldsTheSixRecordsWithConsistentMasses) {
    struct Row { const char* name; std::uint32_t exponent; std::uint8_t generation; };
    const Row rows[] = {{"up", 12, 1}, {"down", 11, 1}, {"strange", 8, 2},
                        {"charm", 5, 2}, {"bottom", 4, 3}, {"top", 0, 3}};
    const QuarkRegistry registry = QuarkRegistry::standard_model();
    EXPECT_EQ(registry.len(), 6u);
    const long double phi = (1.0L + std::sqrt(5.0L)) / 2.0L;
    for (const auto& row : rows) {
        const Quark* q = registry.find(row.name);
        ASSERT_NE(q, nullptr) << row.name;
        EXPECT_EQ(q->name, row.name);
        EXPECT_EQ(q->phi_exponent, row.exponent) << row.name;
        EXPECT_EQ(q->generation, row.generation) << row.name;
        EXPECT_EQ(q->mass_mev, 246220.0 * q->mass_ratio) << row.name;
        // At most 4 ulp below the double nearest φ^(−n); equal for n = 0.
        const double nearest = static_cast<double>(std::pow(phi, -static_cast<long double>(row.exponent)));
        const std::int64_t below = ordered_bits(nearest) - ordered_bits(q->mass_ratio);
        EXPECT_GE(below, 0) << row.name;
        EXPECT_LE(below, 4) << row.name;
        if (row.exponent == 0) {
            EXPECT_EQ(below, 0);
        }
    }
    EXPECT_EQ(registry.find("Up"), nullptr);
    EXPECT_EQ(registry.find(""), nullptr);
}

TEST(QuarkRegistry, EmptyRegistryHoldsNothing) {
    const QuarkRegistry empty;
    EXPECT_EQ(empty.len(), 0u);
    std::size_t visited = 0;
    empty.for_each([&](std::string_view, const Quark&) { ++visited; });
    EXPECT_EQ(visited, 0u);
    EXPECT_EQ(empty.find("top"), nullptr);
}

TEST(QuarkRegistry, ListingIsSortedWhateverTheKeys) {
    const std::array<std::string_view, 6> expected = {"bottom", "charm", "down", "strange", "top", "up"};
    for (int i = 0; i < 20; ++i) EXPECT_EQ(list_quark_names(), expected);
}

CKMMatrix matrix(std::array<std::array<double, 3>, 3> rows) {
    CKMMatrix m;
    m.elements = rows;
    return m;
}

TEST(CKMMatrix, TopologyMatrixIsTheIdentityWithZeroInvariant) {
    const CKMMatrix m = CKMMatrix::from_topology();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(m.elements[r][c], r == c ? 1.0 : 0.0);
            EXPECT_FALSE(std::signbit(m.elements[r][c]));
        }
    }
    EXPECT_EQ(m.jarlskog(), 0.0);
    EXPECT_FALSE(std::signbit(m.jarlskog()));
}

TEST(CKMMatrix, UnitarityLooksAtRowNormsOnly) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double s = std::sqrt(0.5);
    const CKMMatrix identity = CKMMatrix::from_topology();
    const CKMMatrix repeated_rows = matrix({{{1, 0, 0}, {1, 0, 0}, {1, 0, 0}}});
    const CKMMatrix rotated = matrix({{{s, s, 0}, {-s, s, 0}, {0, 0, 1}}});
    const CKMMatrix nan_row = matrix({{{nan, 0, 0}, {0, 1, 0}, {0, 0, 1}}});
    const CKMMatrix nan_then_off = matrix({{{nan, 0, 0}, {0, 2, 0}, {0, 0, 1}}});
    const CKMMatrix long_row = matrix({{{1, 0, 0}, {0, 1, 0}, {0, 0, std::sqrt(1 + 1e-9)}}});
    const CKMMatrix zero = matrix({});
    struct Row { const char* what; const CKMMatrix& m; double tol; bool unitary; };
    const Row rows[] = {
        {"identity, tol 0", identity, 0.0, true},
        {"identity, tol -0", identity, -0.0, true},
        {"identity, tol inf", identity, inf, true},
        {"identity, tol -1e-300", identity, -1e-300, false},
        {"identity, tol nan", identity, nan, false},
        {"unit rows, not orthogonal", repeated_rows, 0.0, true},
        {"rotation", rotated, 1e-15, true},
        {"NaN entry is ignored", nan_row, 0.0, true},
        {"NaN entry, other row off by 3", nan_then_off, 2.9, false},
        {"NaN entry, other row off by 3, tol 3", nan_then_off, 3.0, true},
        {"row off by 1e-9, tol 1e-10", long_row, 1e-10, false},
        {"row off by 1e-9, tol 1e-8", long_row, 1e-8, true},
        {"zero matrix, tol 0.999", zero, 0.999, false},
        {"zero matrix, tol 1", zero, 1.0, true},
    };
    for (const auto& row : rows) EXPECT_EQ(row.m.is_unitary(row.tol), row.unitary) << row.what;
}

}  // namespace
