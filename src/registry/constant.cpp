#include "registry/constant.hpp"

namespace veldra {

std::string_view status_text(ConstantStatus status) noexcept {
    switch (status) {
        case ConstantStatus::Seed: return "Seed";
        case ConstantStatus::Cached: return "Cached";
        case ConstantStatus::Pending: return "Pending";
        case ConstantStatus::External: return "External";
    }
    return "Seed";
}

Constant Constant::seed(std::string_view name, double value, std::string_view units) {
    Constant c;
    c.name = name;
    c.value = value;
    c.units = units;
    return c;
}

Constant Constant::formula(std::string_view name, std::string_view expression, std::string_view units,
                           std::vector<std::string> dependencies) {
    Constant c;
    c.name = name;
    c.units = units;
    c.status = ConstantStatus::Pending;
    c.expression.emplace(expression);
    c.dependencies = std::move(dependencies);
    return c;
}

}  // namespace veldra
