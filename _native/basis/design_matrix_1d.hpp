// Monomial design matrix in one variable.
#pragma once

#include <Eigen/Dense>

namespace qorv {

// Phi(i, p) = x_i^p for p = 0 ... deg, built by repeated multiplication
// (column p = column p-1 times x, one rounding per step; column 0 is exactly
// 1.0, also for x_i = 0 or NaN).
//
// Inputs:
//   deg  highest power, deg >= 0
//   x    n sample points
// Output:
//   n by (deg + 1) matrix
// Throws:
//   std::invalid_argument "deg < 0" for a negative deg;
//   qorv::size_error (a std::bad_alloc) when deg + 1 columns of n rows cannot
//   be held.
Eigen::MatrixXd design_matrix_1d(int deg, const Eigen::VectorXd& x);

}  // namespace qorv
