#include "particles/ckm_matrix.hpp"

#include <cmath>

namespace veldra {

CKMMatrix CKMMatrix::from_topology() noexcept {
    CKMMatrix m;
    for (int i = 0; i < 3; ++i) m.elements[i][i] = 1.0;
    return m;
}

bool CKMMatrix::is_unitary(double tol) const noexcept {
    double worst = 0.0;
    for (const auto& row : elements) {
        const double norm = (row[0] * row[0] + row[1] * row[1]) + row[2] * row[2];
        const double deviation = std::fabs(norm - 1.0);
        if (deviation > worst) worst = deviation;
    }
    return tol >= worst;
}

}  // namespace veldra
