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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/expected.hpp"

namespace veldra {

// A fraction in lowest terms with a positive denominator.
struct Rational {
    std::int32_t num = 0;
    std::int32_t den = 1;

    friend bool operator==(const Rational&, const Rational&) = default;
};

// The SI base dimensions, in the order dimension texts name them, then room
// for the new base dimensions a catalogue may declare (counts, pixels, ADC
// channels), named by their units.
inline constexpr std::size_t kSiDimensions = 7;
inline constexpr std::size_t kMaxDeclaredDimensions = 9;
inline constexpr std::size_t kBaseDimensions = kSiDimensions + kMaxDeclaredDimensions;
inline constexpr std::array<std::string_view, kSiDimensions> kBaseUnitSymbols = {"kg", "m", "s", "A", "K", "mol", "cd"};

// Exponents of kg m s A K mol cd, then of the declared base dimensions.
struct Dimension {
    std::array<Rational, kBaseDimensions> exponents{};

    bool dimensionless() const noexcept;
    friend bool operator==(const Dimension&, const Dimension&) = default;
};

// a × b^sign (sign ±1) and a^power, or nullopt when an exponent would pass
// ±kMaxExponent in numerator or denominator.
std::optional<Dimension> product_of(const Dimension& a, const Dimension& b, int sign);
std::optional<Dimension> power_of(const Dimension& a, Rational power);

class DeclaredUnits;

// The dimension in SI base units (then declared ones, by name): "kg m^2
// s^-2", "s^(1/2)", "kg count^-1", "1" when dimensionless.
std::string dimension_text(const Dimension& dimension, const DeclaredUnits* declared = nullptr);

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

// The units `text` means, or why it means none; with `declared`, its units
// are symbols too (without prefixes).
Expected<Unit, UnitError> parse_units(std::string_view text, const DeclaredUnits* declared = nullptr);

// Units a catalogue declares beyond the grammar's symbols, in order: each a
// multiple of units known before it ("201.168 m") or a new base dimension.
// Not synchronised; read-only once made.
class DeclaredUnits {
public:
    // Declares `name`: as `definition` (an optional positive decimal number,
    // then a units text over the symbols known so far), or as a new base
    // dimension when there is none. The problem's words on failure ("the
    // name is a unit already", the definition's UnitError, ...).
    std::optional<std::string> declare(std::string_view name, std::optional<std::string_view> definition);

    // The declared unit `name`, or null.
    const Unit* find(std::string_view name) const noexcept;

    // The name of declared base dimension `i` (0 for the first).
    std::string_view base_name(std::size_t i) const noexcept { return base_names_[i]; }

    struct Declaration {
        std::string name;
        std::optional<std::string> definition;
    };
    // Every declaration, in order, as given.
    const std::vector<Declaration>& declarations() const noexcept { return declarations_; }

private:
    std::vector<Declaration> declarations_;
    std::vector<Unit> units_;  // one per declaration
    std::vector<std::string> base_names_;
};

// The factor that takes a value in `from` to `to`: from.mantissa /
// to.mantissa × 10^(from.exp10 - to.exp10), or nullopt when it (or the
// ratio of the mantissas) is no normal double. Dimensions are not compared.
std::optional<double> conversion_factor(const Unit& from, const Unit& to) noexcept;

// What a conversion says when conversion_factor gives nothing.
inline constexpr std::string_view kFactorBeyond = "the factor between them is beyond a double";

// The error text of a conversion between units of different dimensions:
// "cannot convert `FROM` (D1) to `TO` (D2)".
std::string mismatch_message(std::string_view from_text, const Unit& from, std::string_view to_text, const Unit& to);

}  // namespace veldra
