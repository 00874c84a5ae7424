// Boundary term f'(b) f''(b) - f'(a) f''(a) of the one-variable curvature
// penalty, as a symmetric matrix.
#pragma once

#include <Eigen/Dense>

namespace qorv {

// Rb = 0.5 (T + T^T) with T(i, j) = b2[i] b1[j] - a2[i] a1[j] (the product
// b2[i] b1[j] rounded, then a fused multiply-add), where a1, a2 and b1, b2
// are the first and second derivative rows at x_min and x_max.
//
// Inputs:
//   deg  highest power; deg = -1 gives the 0 x 0 matrix
//   x_min, x_max  interval ends (not validated)
// Output:
//   (deg + 1) by (deg + 1) exactly symmetric matrix
// Throws:
//   qorv::size_error (a std::bad_alloc) for deg < -1 or a size that cannot
//   be held.
Eigen::MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max);

}  // namespace qorv
