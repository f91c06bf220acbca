#pragma once
// Units as dimensions: a units text parsed into a scale (what one of it is
// in coherent SI) and a dimension (rational exponents of the SI base
// units). Plain values, safe to use from any thread.
//
// The grammar: "" or "1" (dimensionless), or factors joined by spaces, `*`
// or `/`, read left to right with one precedence (`a / b * c` is a c / b);
// a factor is a symbol, `1`, or a parenthesised product, optionally raised
// with `^` to an integer or a parenthesised fraction (`m^-1`, `Hz^(1/2)`,
// `(GeV/c^2)^-2`). A symbol is a unit of the table in units.cpp, or an SI
// prefix followed by a unit that takes one (`MeV`, `fm`, `µs`, `us`).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/expected.hpp"

namespace veldra {

// A fraction in lowest terms with a positive denominator.
struct Rational {
    std::int32_t num = 0;
    std::int32_t den = 1;

    friend bool operator==(const Rational&, const Rational&) = default;
};

// The SI base dimensions, in the order dimension texts name them.
inline constexpr std::size_t kBaseDimensions = 7;
inline constexpr std::array<std::string_view, kBaseDimensions> kBaseUnitSymbols = {"kg", "m", "s", "A", "K", "mol", "cd"};

// Exponents of kg m s A K mol cd.
struct Dimension {
    std::array<Rational, kBaseDimensions> exponents{};

    bool dimensionless() const noexcept;
    friend bool operator==(const Dimension&, const Dimension&) = default;
};

// The dimension in SI base units: "kg m^2 s^-2", "s^(1/2)", "1" when dimensionless.
std::string dimension_text(const Dimension& dimension);

// One of a unit in coherent SI is mantissa × 10^exp10: prefixes and the
// decimal units move only the exponent, so `mg` to `g` is 10^-3 exactly as
// the literal 1e-3 reads.
struct Unit {
    double mantissa = 1.0;
    std::int32_t exp10 = 0;
    Dimension dimension;

    // mantissa × 10^exp10, one rounding.
    double scale() const noexcept;
};

// 10^k as the decimal literal 1eK reads (0 or infinity beyond a double's range).
double power_of_ten(std::int64_t k) noexcept;

// Why a units text was refused, and where: `offset` counts characters
// (code points) from the start of the text.
struct UnitError {
    std::string text;
    std::size_t offset = 0;
    std::string what;

    // "invalid units `TEXT`: WHAT at offset N".
    std::string message() const;
};

// Exponents stay within ±kMaxExponent in numerator and denominator, and
// parentheses nest at most kMaxUnitNesting deep.
inline constexpr std::int32_t kMaxExponent = 1000;
inline constexpr int kMaxUnitNesting = 16;

// The units `text` means, or why it means none.
Expected<Unit, UnitError> parse_units(std::string_view text);

// The factor that takes a value in `from` to `to`: from.mantissa /
// to.mantissa × 10^(from.exp10 - to.exp10). Dimensions are not compared.
double conversion_factor(const Unit& from, const Unit& to) noexcept;

// The error text of a conversion between units of different dimensions:
// "cannot convert `FROM` (D1) to `TO` (D2)".
std::string mismatch_message(std::string_view from_text, const Unit& from, std::string_view to_text, const Unit& to);

}  // namespace veldra
