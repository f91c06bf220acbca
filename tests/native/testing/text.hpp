#pragma once
// Texts the tests build byte by byte.

#include <string>

namespace veldra {

// The bytes 0, 1, …, n − 1: every length meets the hash's and the short-text
// helpers' word edges with distinct bytes.
inline std::string counting_bytes(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
    return s;
}

}  // namespace veldra
