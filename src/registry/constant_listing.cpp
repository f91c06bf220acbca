#include "constant_listing.hpp"

#include "formulas_registry.hpp"
#include "name_order.hpp"

namespace veldra {

std::vector<std::string_view> list_constant_names() {
    std::vector<std::string_view> names = FormulasRegistry().names();
    sort_names(names);
    return names;
}

}  // namespace veldra
