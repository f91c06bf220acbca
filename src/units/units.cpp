#include "units/units.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <optional>

#include "support/c_number.hpp"

namespace veldra {
namespace {

// Exponents of kg m s A K mol cd, as the table writes them.
using Exponents = std::array<std::int8_t, kSiDimensions>;

struct Symbol {
    std::string_view text;
    double mantissa;
    std::int32_t exp10;
    Exponents exponents;
    bool takes_prefix;
};

constexpr Exponents kNone{0, 0, 0, 0, 0, 0, 0};
constexpr Exponents kLength{0, 1, 0, 0, 0, 0, 0};
constexpr Exponents kMass{1, 0, 0, 0, 0, 0, 0};
constexpr Exponents kTime{0, 0, 1, 0, 0, 0, 0};
constexpr Exponents kEnergy{1, 2, -2, 0, 0, 0, 0};
constexpr Exponents kPressure{1, -1, -2, 0, 0, 0, 0};
constexpr Exponents kResistance{1, 2, -3, -2, 0, 0, 0};

// The units a text may name. The values of eV, u (Da) and E_h are CODATA
// 2022's: eV exact since 2019, the other two taken as exact for converting.
constexpr Symbol kSymbols[] = {
    // The SI base units, with the gram for prefixing.
    {"m", 1, 0, kLength, true},
    {"kg", 1, 0, kMass, false},
    {"g", 1, -3, kMass, true},
    {"s", 1, 0, kTime, true},
    {"A", 1, 0, {0, 0, 0, 1, 0, 0, 0}, true},
    {"K", 1, 0, {0, 0, 0, 0, 1, 0, 0}, true},
    {"mol", 1, 0, {0, 0, 0, 0, 0, 1, 0}, true},
    {"cd", 1, 0, {0, 0, 0, 0, 0, 0, 1}, true},
    // The derived units with special names (SI has rad and sr dimensionless).
    {"rad", 1, 0, kNone, true},
    {"sr", 1, 0, kNone, true},
    {"Hz", 1, 0, {0, 0, -1, 0, 0, 0, 0}, true},
    {"N", 1, 0, {1, 1, -2, 0, 0, 0, 0}, true},
    {"Pa", 1, 0, kPressure, true},
    {"J", 1, 0, kEnergy, true},
    {"W", 1, 0, {1, 2, -3, 0, 0, 0, 0}, true},
    {"C", 1, 0, {0, 0, 1, 1, 0, 0, 0}, true},
    {"V", 1, 0, {1, 2, -3, -1, 0, 0, 0}, true},
    {"F", 1, 0, {-1, -2, 4, 2, 0, 0, 0}, true},
    {"ohm", 1, 0, kResistance, true},
    {"\u03A9", 1, 0, kResistance, true},  // Greek capital omega
    {"\u2126", 1, 0, kResistance, true},  // the ohm sign
    {"S", 1, 0, {-1, -2, 3, 2, 0, 0, 0}, true},
    {"Wb", 1, 0, {1, 2, -2, -1, 0, 0, 0}, true},
    {"T", 1, 0, {1, 0, -2, -1, 0, 0, 0}, true},
    {"H", 1, 0, {1, 2, -2, -2, 0, 0, 0}, true},
    {"lm", 1, 0, {0, 0, 0, 0, 0, 0, 1}, true},
    {"lx", 1, 0, {0, -2, 0, 0, 0, 0, 1}, true},
    {"Bq", 1, 0, {0, 0, -1, 0, 0, 0, 0}, true},
    {"Gy", 1, 0, {0, 2, -2, 0, 0, 0, 0}, true},
    {"Sv", 1, 0, {0, 2, -2, 0, 0, 0, 0}, true},
    {"kat", 1, 0, {0, 0, -1, 0, 0, 1, 0}, true},
    // Units physicists use with constants.
    {"eV", 1.602176634, -19, kEnergy, true},
    {"u", 1.66053906892, -27, kMass, false},
    {"Da", 1.66053906892, -27, kMass, true},
    {"E_h", 4.3597447222060, -18, kEnergy, false},
    {"c", 299792458, 0, {0, 1, -1, 0, 0, 0, 0}, false},
    {"min", 60, 0, kTime, false},
    {"h", 3600, 0, kTime, false},
    {"d", 86400, 0, kTime, false},
    {"L", 1, -3, {0, 3, 0, 0, 0, 0, 0}, true},
    {"\u00C5", 1, -10, kLength, false},  // Å, the letter
    {"\u212B", 1, -10, kLength, false},  // Å, the angstrom sign
    {"bar", 1, 5, kPressure, true},
    {"%", 1, -2, kNone, false},
    {"ppm", 1, -6, kNone, false},
};

struct Prefix {
    std::string_view text;
    std::int32_t exp10;
};

// Longer spellings first, so that `da` is tried before `d`.
constexpr Prefix kPrefixes[] = {
    {"da", 1},   {"\u00B5", -6}, {"\u03BC", -6}, {"q", -30}, {"r", -27}, {"y", -24}, {"z", -21},
    {"a", -18},  {"f", -15},     {"p", -12},     {"n", -9},  {"u", -6},  {"m", -3},  {"c", -2},
    {"d", -1},   {"h", 2},       {"k", 3},       {"M", 6},   {"G", 9},   {"T", 12},  {"P", 15},
    {"E", 18},   {"Z", 21},      {"Y", 24},      {"R", 27},  {"Q", 30},
};

// Decimal exponents stay far inside a double's range (and an int's), so
// that sums and products of them cannot overflow.
constexpr std::int64_t kMaxDecades = 100000;

// Temperatures on a shifted scale: a factor cannot convert them.
constexpr std::string_view kAffine[] = {"\u00B0C", "\u2103", "degC", "\u00B0F", "degF"};

// Texts compare by their first byte before the rest: a parse looks up every
// symbol this way, and a miss is the usual outcome.
bool same_text(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && !a.empty() && a[0] == b[0] && a == b;
}

bool starts_with(std::string_view text, std::string_view start) noexcept {
    return text.size() > start.size() && text[0] == start[0] && text.substr(0, start.size()) == start;
}

const Symbol* symbol_named(std::string_view text) {
    for (const Symbol& symbol : kSymbols) {
        if (same_text(symbol.text, text)) return &symbol;
    }
    return nullptr;
}

std::int64_t gcd64(std::int64_t a, std::int64_t b) { return std::gcd(a < 0 ? -a : a, b < 0 ? -b : b); }

std::optional<Rational> make_rational(std::int64_t num, std::int64_t den) {
    if (den == 1) {
        if (num > kMaxExponent || num < -kMaxExponent) return std::nullopt;
        return Rational{static_cast<std::int32_t>(num), 1};
    }
    if (den < 0) {
        num = -num;
        den = -den;
    }
    const std::int64_t g = gcd64(num, den);
    if (g > 1) {
        num /= g;
        den /= g;
    }
    if (num > kMaxExponent || num < -kMaxExponent || den > kMaxExponent) return std::nullopt;
    return Rational{static_cast<std::int32_t>(num), static_cast<std::int32_t>(den)};
}

std::size_t code_points(std::string_view text) {
    std::size_t count = 0;
    for (const char byte : text) count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    return count;
}

class UnitParser {
public:
    UnitParser(std::string_view text, const DeclaredUnits* declared) : text_(text), declared_(declared) {}

    Expected<Unit, UnitError> parse() {
        skip_spaces();
        if (at_end()) return Unit{};
        auto product = parse_product(0);
        if (!product) return unexpected(std::move(*failure_));
        if (!at_end()) {
            (void)fail(text_[pos_] == ')' ? "unbalanced `)`" : "expected `*`, `/` or a space");
            return unexpected(std::move(*failure_));
        }
        // A step on the way may hold a scale past a double; a value in these units cannot.
        if (!std::isnormal(product->scale())) {
            (void)fail("scale beyond a double");
            return unexpected(std::move(*failure_));
        }
        return std::move(product).value();
    }

private:
    // Failures travel as a flag; the first one found is kept in failure_.
    struct Failed {};
    template <class T>
    using Step = Expected<T, Failed>;

    Unexpected<Failed> fail(std::string what, std::optional<std::size_t> at = std::nullopt) {
        failure_ = UnitError{std::string(text_), code_points(text_.substr(0, at.value_or(pos_))), std::move(what)};
        return unexpected(Failed{});
    }

    bool at_end() const noexcept { return pos_ >= text_.size(); }
    void skip_spaces() noexcept {
        while (!at_end() && text_[pos_] == ' ') ++pos_;
    }

    // Factors joined by spaces, `*` or `/`, up to the end or a `)`.
    Step<Unit> parse_product(int depth) {
        auto first = parse_factor(depth);
        if (!first) return first;
        Unit result = std::move(first).value();
        for (;;) {
            const std::size_t before = pos_;
            skip_spaces();
            if (at_end() || text_[pos_] == ')') return result;
            bool divide = false;
            if (text_[pos_] == '*' || text_[pos_] == '/') {
                divide = text_[pos_] == '/';
                ++pos_;
                skip_spaces();
            } else if (pos_ == before) {
                return fail("expected `*`, `/` or a space");
            }
            auto next = parse_factor(depth);
            if (!next) return next;
            auto combined = combine(result, *next, divide ? -1 : 1);
            if (!combined) return combined;
            result = std::move(combined).value();
        }
    }

    // A symbol, `1` or a parenthesised product, with its exponent if any.
    Step<Unit> parse_factor(int depth) {
        if (at_end()) return fail("expected a unit");
        Unit base;
        if (text_[pos_] == '(') {
            if (depth + 1 > kMaxUnitNesting) return fail("parentheses nested deeper than 16");
            ++pos_;
            skip_spaces();
            auto inner = parse_product(depth + 1);
            if (!inner) return inner;
            if (at_end() || text_[pos_] != ')') return fail("expected `)`");
            ++pos_;
            base = std::move(inner).value();
        } else {
            auto symbol = parse_symbol();
            if (!symbol) return symbol;
            base = std::move(symbol).value();
        }
        if (at_end() || text_[pos_] != '^') return base;
        ++pos_;
        auto exponent = parse_exponent();
        if (!exponent) return unexpected(Failed{});
        return raise(base, *exponent);
    }

    // A run of characters up to a space, an operator or a parenthesis.
    Step<Unit> parse_symbol() {
        const std::size_t start = pos_;
        while (!at_end() && std::string_view(" */()^").find(text_[pos_]) == std::string_view::npos) ++pos_;
        const std::string_view word = text_.substr(start, pos_ - start);
        if (word.empty()) return fail("expected a unit");
        if (word == "1") return Unit{};
        for (std::string_view affine : kAffine) {
            if (same_text(word, affine)) {
                return fail("`" + std::string(word) + "` is a temperature on a shifted scale, which no factor converts (use K)", start);
            }
        }
        if (const Symbol* symbol = symbol_named(word)) return unit_of(*symbol, 0);
        if (declared_ != nullptr) {
            if (const Unit* unit = declared_->find(word)) return *unit;
        }
        for (const Prefix& prefix : kPrefixes) {
            if (!starts_with(word, prefix.text)) continue;
            const Symbol* symbol = symbol_named(word.substr(prefix.text.size()));
            if (symbol != nullptr && symbol->takes_prefix) return unit_of(*symbol, prefix.exp10);
        }
        return fail("unknown unit `" + std::string(word) + "`", start);
    }

    static Unit unit_of(const Symbol& symbol, std::int32_t prefix_exp10) {
        Unit unit{symbol.mantissa, symbol.exp10 + prefix_exp10, {}};
        for (std::size_t i = 0; i < kSiDimensions; ++i) unit.dimension.exponents[i] = Rational{symbol.exponents[i], 1};
        return unit;
    }

    // An integer with an optional sign.
    Step<std::int64_t> parse_integer() {
        bool negative = false;
        if (!at_end() && (text_[pos_] == '-' || text_[pos_] == '+')) negative = text_[pos_++] == '-';
        const std::size_t start = pos_;
        std::int64_t value = 0;
        while (!at_end() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            value = value * 10 + (text_[pos_++] - '0');
            if (value > kMaxExponent) return fail("exponent beyond 1000", start);
        }
        if (pos_ == start) return fail("expected an exponent");
        return negative ? -value : value;
    }

    // An integer, or `(` an integer, optionally `/` a positive integer, `)`.
    Step<Rational> parse_exponent() {
        if (at_end() || text_[pos_] != '(') {
            auto whole = parse_integer();
            if (!whole) return unexpected(Failed{});
            return Rational{static_cast<std::int32_t>(*whole), 1};
        }
        ++pos_;
        auto num = parse_integer();
        if (!num) return unexpected(Failed{});
        std::int64_t den = 1;
        if (!at_end() && text_[pos_] == '/') {
            ++pos_;
            const std::size_t at = pos_;
            auto parsed = parse_integer();
            if (!parsed) return unexpected(Failed{});
            if (*parsed <= 0) return fail("exponent denominator must be positive", at);
            den = *parsed;
        }
        if (at_end() || text_[pos_] != ')') return fail("expected `)`");
        ++pos_;
        return *make_rational(*num, den);
    }

    Step<Unit> combine(const Unit& left, const Unit& right, int sign) {
        Unit result{sign > 0 ? left.mantissa * right.mantissa : left.mantissa / right.mantissa,
                    left.exp10 + sign * right.exp10, {}};
        if (!std::isnormal(result.mantissa) || result.exp10 > kMaxDecades || result.exp10 < -kMaxDecades) {
            return fail("scale beyond a double");
        }
        auto dimension = product_of(left.dimension, right.dimension, sign);
        if (!dimension) return fail("exponent beyond 1000");
        result.dimension = *dimension;
        return result;
    }

    Step<Unit> raise(const Unit& base, Rational power) {
        Unit result;
        // The decimal exponent keeps its whole part; a fraction of a decade
        // joins the mantissa.
        const std::int64_t decades = std::int64_t{base.exp10} * power.num;
        std::int64_t whole = decades / power.den;
        if (decades % power.den != 0 && decades < 0) --whole;
        const std::int64_t rest = decades - whole * power.den;
        result.mantissa = std::pow(base.mantissa, static_cast<double>(power.num) / power.den);
        if (rest != 0) result.mantissa *= std::pow(10.0, static_cast<double>(rest) / power.den);
        // A mantissa that leaves the normal doubles loses digits or all meaning, whatever the power of ten.
        if (!std::isnormal(result.mantissa) || whole > kMaxDecades || whole < -kMaxDecades) {
            return fail("scale beyond a double");
        }
        result.exp10 = static_cast<std::int32_t>(whole);
        auto dimension = power_of(base.dimension, power);
        if (!dimension) return fail("exponent beyond 1000");
        result.dimension = *dimension;
        return result;
    }

    std::string_view text_;
    const DeclaredUnits* declared_;
    std::size_t pos_ = 0;
    std::optional<UnitError> failure_;
};

bool is_name(std::string_view text) noexcept {
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (text.empty() || !letter(text[0])) return false;
    return std::all_of(text.begin(), text.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

// How long the decimal number at the start of `text` is (digits, a point,
// an exponent), 0 when none is.
std::size_t number_length(std::string_view text) noexcept {
    std::size_t at = 0;
    const auto digits = [&] {
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at - start;
    };
    std::size_t mantissa = digits();
    if (at < text.size() && text[at] == '.') {
        ++at;
        mantissa += digits();
    }
    if (mantissa == 0) return 0;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        const std::size_t before = at++;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        if (digits() == 0) at = before;
    }
    return at;
}

}  // namespace

std::optional<Dimension> product_of(const Dimension& a, const Dimension& b, int sign) {
    Dimension out;
    for (std::size_t i = 0; i < kBaseDimensions; ++i) {
        const Rational x = a.exponents[i], y = b.exponents[i];
        if (x.den == 1 && y.den == 1) {
            // Whole exponents, the usual case: no fraction to reduce.
            const std::int32_t sum = x.num + sign * y.num;
            if (sum > kMaxExponent || sum < -kMaxExponent) return std::nullopt;
            out.exponents[i] = Rational{sum, 1};
            continue;
        }
        auto sum = make_rational(std::int64_t{x.num} * y.den + sign * std::int64_t{y.num} * x.den,
                                 std::int64_t{x.den} * y.den);
        if (!sum) return std::nullopt;
        out.exponents[i] = *sum;
    }
    return out;
}

std::optional<Dimension> power_of(const Dimension& a, Rational power) {
    Dimension out;
    for (std::size_t i = 0; i < kBaseDimensions; ++i) {
        const Rational e = a.exponents[i];
        auto product = make_rational(std::int64_t{e.num} * power.num, std::int64_t{e.den} * power.den);
        if (!product) return std::nullopt;
        out.exponents[i] = *product;
    }
    return out;
}

bool Dimension::dimensionless() const noexcept {
    for (const Rational& e : exponents) {
        if (e.num != 0) return false;
    }
    return true;
}

std::string dimension_text(const Dimension& dimension, const DeclaredUnits* declared) {
    std::string text;
    for (std::size_t i = 0; i < kBaseDimensions; ++i) {
        const Rational e = dimension.exponents[i];
        if (e.num == 0) continue;
        if (!text.empty()) text += ' ';
        if (i < kSiDimensions) {
            text += kBaseUnitSymbols[i];
        } else {
            text += declared != nullptr ? declared->base_name(i - kSiDimensions) : "?";
        }
        if (e.den != 1) {
            text += "^(" + std::to_string(e.num) + "/" + std::to_string(e.den) + ")";
        } else if (e.num != 1) {
            text += "^" + std::to_string(e.num);
        }
    }
    return text.empty() ? "1" : text;
}

double power_of_ten(std::int64_t k) noexcept {
    constexpr std::int64_t kReach = 400;  // beyond a double's range either way
    if (k > kReach) return HUGE_VAL;
    if (k < -kReach) return 0.0;
    // Read once from the literals, which strtod rounds correctly.
    static const auto powers = [] {
        std::array<double, 2 * kReach + 1> made{};
        for (std::int64_t i = -kReach; i <= kReach; ++i) {
            made[static_cast<std::size_t>(i + kReach)] = std::strtod(("1e" + std::to_string(i)).c_str(), nullptr);
        }
        return made;
    }();
    return powers[static_cast<std::size_t>(k + kReach)];
}

double Unit::scale() const noexcept { return mantissa * power_of_ten(exp10); }

std::string UnitError::message() const {
    return "invalid units `" + text + "`: " + what + " at offset " + std::to_string(offset);
}

Expected<Unit, UnitError> parse_units(std::string_view text, const DeclaredUnits* declared) {
    if (declared != nullptr) return UnitParser(text, declared).parse();
    // The texts a program converts between are few and come back again and
    // again: each thread remembers the last ones it parsed, by hash, so a
    // warm conversion reads a table instead of parsing.
    struct Remembered {
        std::string text;
        Unit unit;
    };
    constexpr std::size_t kSets = 128;
    // Two ways a set: texts whose hashes meet both stay, the newer first.
    thread_local std::array<std::array<std::optional<Remembered>, 2>, kSets> remembered;
    if (text.size() > 64) return UnitParser(text, nullptr).parse();
    auto& set = remembered[std::hash<std::string_view>{}(text) % kSets];
    for (const auto& way : set) {
        if (way && way->text == text) return way->unit;
    }
    auto parsed = UnitParser(text, nullptr).parse();
    if (parsed) {
        set[1] = std::move(set[0]);
        set[0] = Remembered{std::string(text), *parsed};
    }
    return parsed;
}

std::optional<std::string> DeclaredUnits::declare(std::string_view name, std::optional<std::string_view> definition) {
    const std::string unit = "unit `" + std::string(name) + "`: ";
    if (!is_name(name)) return unit + "a name is a letter or `_`, then letters, digits or `_`";
    if (parse_units(name, this)) return unit + "the name is a unit already";
    Unit made;
    if (!definition) {
        if (base_names_.size() == kMaxDeclaredDimensions) return unit + "more than 9 new base dimensions";
        made.dimension.exponents[kSiDimensions + base_names_.size()] = Rational{1, 1};
        base_names_.emplace_back(name);
    } else {
        std::string_view rest = *definition;
        const std::size_t length = number_length(rest);
        double factor = 1.0;
        if (length > 0) {
            factor = c_strtod(std::string(rest.substr(0, length)));
            if (!std::isfinite(factor) || factor <= 0.0) {
                return unit + "`" + std::string(rest.substr(0, length)) + "` is no positive number a double holds";
            }
            rest.remove_prefix(length);
        }
        auto parsed = parse_units(rest, this);
        if (!parsed) return unit + parsed.error().message();
        made = *parsed;
        made.mantissa = factor * made.mantissa;
        if (!std::isnormal(made.mantissa) || !std::isnormal(made.scale())) return unit + "scale beyond a double";
    }
    declarations_.push_back({std::string(name), definition ? std::optional<std::string>(*definition) : std::nullopt});
    units_.push_back(made);
    return std::nullopt;
}

const Unit* DeclaredUnits::find(std::string_view name) const noexcept {
    for (std::size_t i = 0; i < declarations_.size(); ++i) {
        if (declarations_[i].name == name) return &units_[i];
    }
    return nullptr;
}

std::optional<double> conversion_factor(const Unit& from, const Unit& to) noexcept {
    const std::int64_t decades = std::int64_t{from.exp10} - to.exp10;
    const double ratio = from.mantissa / to.mantissa;
    double found = ratio * power_of_ten(decades);
    if (!std::isnormal(ratio) || !std::isnormal(found)) {
        // Mantissas far apart: each brought near 1 by its own power of ten
        // first, so that their ratio holds and only the result may not.
        const double from_decade = std::floor(std::log10(from.mantissa));
        const double to_decade = std::floor(std::log10(to.mantissa));
        const double near = (from.mantissa / power_of_ten(static_cast<std::int64_t>(from_decade))) /
                            (to.mantissa / power_of_ten(static_cast<std::int64_t>(to_decade)));
        found = near * power_of_ten(decades + static_cast<std::int64_t>(from_decade) - static_cast<std::int64_t>(to_decade));
    }
    if (!std::isnormal(found)) return std::nullopt;
    return found;
}

std::string mismatch_message(std::string_view from_text, const Unit& from, std::string_view to_text, const Unit& to) {
    return "cannot convert `" + std::string(from_text) + "` (" + dimension_text(from.dimension) + ") to `" +
           std::string(to_text) + "` (" + dimension_text(to.dimension) + ")";
}

}  // namespace veldra
