// Penalised least squares through the normal equations.
#pragma once

#include <Eigen/Dense>

#include "common/dense_ref.hpp"

namespace qorv {

// Diagonal shift of the normal equations when the caller gives none.
inline constexpr double kDefaultRidge = 1e-10;

// Solves (Phi^T Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi^T y
// with n = y.size(), by a pivoting LDLT of the lower triangle; a penalty
// term enters only when its matrix is given and its weight is not exactly
// 0.0. Pivots of magnitude <= DBL_MIN give zero components. A system or
// right-hand side holding NaN or infinity gives M NaNs.
//
// Inputs (Phi and y read in place):
//   Phi     n by M design
//   y       n targets
//   R1, R2  optional M by M penalty matrices (null = absent)
//   gamma1, gamma2  penalty weights; ridge  diagonal shift
// Output:
//   M coefficients
// Throws std::invalid_argument when y.size() != n or an applied penalty
// matrix is not M x M.
Eigen::VectorXd fit_regularized_linear(const MatrixView& Phi,
                                       const VectorRef& y,
                                       const Eigen::MatrixXd* R1,
                                       const Eigen::MatrixXd* R2,
                                       double gamma1, double gamma2,
                                       double ridge);

}  // namespace qorv
