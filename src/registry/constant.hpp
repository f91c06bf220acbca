#pragma once
// One entry of the formulas registry: a seed constant or a formula.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veldra {

// Lifecycle state of an entry's value. Its text is the variant name.
enum class ConstantStatus : std::uint8_t { Seed = 0, Cached = 1, Pending = 2, External = 3 };

std::string_view status_text(ConstantStatus status) noexcept;

struct Constant {
    std::string name;
    double value = 0.0;
    std::string units;
    std::optional<double> uncertainty;
    ConstantStatus status = ConstantStatus::Seed;
    std::optional<std::string> expression;
    std::vector<std::string> dependencies;

    // A constant with a final value: status Seed, no expression, no dependencies.
    static Constant seed(std::string_view name, double value, std::string_view units);

    // A formula kept as text: status Pending, value 0.0 (never evaluated).
    static Constant formula(std::string_view name, std::string_view expression, std::string_view units,
                            std::vector<std::string> dependencies);

    friend bool operator==(const Constant&, const Constant&) = default;
};

}  // namespace veldra
