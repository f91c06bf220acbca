#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>

#include "units/units.hpp"

namespace veldra {
namespace {

// Scales against their SI definitions, written as the products they are.
TEST(Units, ParsesScaleAndDimension) {
    struct Row {
        std::string_view text;
        double scale;
        std::string_view dimension;
    };
    const Row rows[] = {
        {"", 1.0, "1"},
        {"1", 1.0, "1"},
        {"J", 1.0, "kg m^2 s^-2"},
        {"MeV/c^2", 1e6 * 1.602176634e-19 / (299792458.0 * 299792458.0), "kg"},
        {"(GeV/c^2)^-2", std::pow(1e9 * 1.602176634e-19 / (299792458.0 * 299792458.0), -2), "kg^-2"},
        {"Hz^(1/2)", 1.0, "s^(-1/2)"},
        {"mg", 1e-6, "kg"},
        {"\u00B5m", 1e-6, "m"},
        {"um", 1e-6, "m"},
        {"u", 1.66053906892e-27, "kg"},
        {"dam", 10.0, "m"},
        {"d", 86400.0, "s"},
        {"cd", 1.0, "cd"},
        {"mcd", 1e-3, "cd"},
        {"W m^-2 K^-4", 1.0, "kg s^-3 K^-4"},
        {"J / s * m", 1.0, "kg m^3 s^-3"},
        {"\u2126", 1.0, "kg m^2 s^-3 A^-2"},
        {"m^(3/2) m^(-1/2)", 1.0, "m"},
        {"km^(1/2)", std::sqrt(1e3), "m^(1/2)"},
    };
    for (const Row& row : rows) {
        auto unit = parse_units(row.text);
        ASSERT_TRUE(unit) << row.text << ": " << unit.error().message();
        EXPECT_NEAR(unit->scale() / row.scale, 1.0, 1e-15) << row.text;
        EXPECT_EQ(dimension_text(unit->dimension), row.dimension) << row.text;
    }
}

// Offsets count characters, so a text with Å reports where a reader sees the fault.
TEST(Units, RefusesWithTheOffsetInCharacters) {
    struct Row {
        std::string_view text;
        std::size_t offset;
        std::string_view what;
    };
    const Row rows[] = {
        {"furlong", 0, "unknown unit `furlong`"},
        {"\u00C5 m^", 4, "expected an exponent"},
        {"\u00C5\u00C5 m", 0, "unknown unit `\u00C5\u00C5`"},
        {"m (s", 4, "expected `)`"},
        {"m s)", 3, "unbalanced `)`"},
        {"m^(1/0)", 5, "exponent denominator must be positive"},
        {"m^1001", 2, "exponent beyond 1000"},
        {"c^1000", 6, "scale beyond a double"},
        {"kg \u00B0C", 3, "`\u00B0C` is a temperature on a shifted scale, which no factor converts (use K)"},
        {"(((((((((((((((((m)))))))))))))))))", 16, "parentheses nested deeper than 16"},
    };
    for (const Row& row : rows) {
        auto unit = parse_units(row.text);
        ASSERT_FALSE(unit) << row.text;
        EXPECT_EQ(unit.error().offset, row.offset) << row.text;
        EXPECT_EQ(unit.error().what, row.what) << row.text;
    }
}

TEST(Units, ConvertsByPowersOfTenExactly) {
    const auto factor = [](std::string_view from, std::string_view to) {
        return conversion_factor(*parse_units(from), *parse_units(to)).value_or(-1.0);
    };
    EXPECT_EQ(factor("mg", "g"), 1e-3);
    EXPECT_EQ(factor("km", "mm"), 1e6);
    EXPECT_EQ(factor("nm", "\u00C5"), 10.0);
    EXPECT_EQ(factor("GeV", "MeV"), 1e3);
    EXPECT_EQ(mismatch_message("MeV", *parse_units("MeV"), "kg", *parse_units("kg")),
              "cannot convert `MeV` (kg m^2 s^-2) to `kg` (kg)");
}

}  // namespace
}  // namespace veldra
