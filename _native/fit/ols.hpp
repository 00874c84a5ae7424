// Ordinary least squares through a singular value decomposition.
#pragma once

#include <Eigen/Dense>

#include "common/dense_ref.hpp"

namespace qorv {

// Minimum-norm least-squares solution of X b = y. Singular values
// s_i < max(s_max * max(1, min(n, M)) * 2^-52, DBL_MIN) count as zero.
// A design or target holding NaN or infinity gives M NaNs; a design with no
// rows or no columns gives M zeros.
//
// Inputs (read in place):
//   X  n by M design
//   y  n targets
// Output:
//   M coefficients
// Throws std::invalid_argument when y.size() != n.
Eigen::VectorXd ols(const MatrixView& X, const VectorRef& y);

}  // namespace qorv
