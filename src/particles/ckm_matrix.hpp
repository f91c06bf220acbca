#pragma once
// CKMMatrix: a 3x3 real quark-mixing matrix with its stored Jarlskog
// invariant. A plain immutable value; safe to read from any thread.

#include <array>

namespace veldra {

struct CKMMatrix {
    // Row-major: elements[row][column].
    std::array<std::array<double, 3>, 3> elements{};
    double jarlskog_invariant = 0.0;

    // The identity matrix with J = 0.
    static CKMMatrix from_topology() noexcept;

    // The stored invariant; nothing is derived from the elements.
    double jarlskog() const noexcept { return jarlskog_invariant; }

    // Whether every row's squared norm is within `tol` of 1. Only row norms
    // are examined (not orthogonality, not columns); a NaN deviation never
    // counts as the worst, and a NaN `tol` gives false.
    bool is_unitary(double tol) const noexcept;
};

}  // namespace veldra
