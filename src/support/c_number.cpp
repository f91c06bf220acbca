#include "support/c_number.hpp"

#include <locale.h>  // newlocale
#include <stdlib.h>  // strtod_l

#include <new>

namespace veldra {

double c_strtod(const std::string& text) {
    static const locale_t locale = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
    if (locale == locale_t{}) throw std::bad_alloc();
    return strtod_l(text.c_str(), nullptr, locale);
}

}  // namespace veldra
