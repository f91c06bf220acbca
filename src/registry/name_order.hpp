#pragma once
// Byte-wise name order: unsigned bytes over the common length, then the
// shorter name first. This is the order of every listing the module returns.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace veldra {

inline bool byte_less(std::string_view a, std::string_view b) noexcept {
    // char_traits<char> compares as unsigned char, which is exactly byte order.
    return a.compare(b) < 0;
}

inline void sort_names(std::vector<std::string>& names) {
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return byte_less(a, b); });
}

}  // namespace veldra
