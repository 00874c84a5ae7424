// First- and second-derivative penalty matrices in one variable.
#pragma once

#include <Eigen/Dense>

#include "common/interrupt.hpp"

namespace qorv {

// Grid points of the penalty sums when the caller gives none.
inline constexpr int kDefaultGrid1D = 600;

struct PenaltyMatrices1D {
  Eigen::MatrixXd R1;  // (deg+1) x (deg+1), sum of dx * d1 d1^T
  Eigen::MatrixXd R2;  // (deg+1) x (deg+1), sum of dx * d2 d2^T
};

// Plain Riemann sums over the n_grid points x_g = x_min + g * dx (one fused
// multiply-add; dx = (x_max - x_min) / (n_grid - 1)), every point with weight
// dx, of the outer products of the first (R1) and second (R2) derivative rows
// of the monomial basis. Both results are exactly symmetric.
//
// Inputs:
//   deg     highest power, deg >= 0
//   x_min, x_max  interval ends (not validated)
//   n_grid  number of grid points, >= 2
//   interrupt  polled about every million multiply-adds (may be null)
// Output:
//   {R1, R2}, each (deg + 1) by (deg + 1)
// Cost: O(n_grid (deg + 1)^2) time, O((deg + 1)^2) memory.
// Throws:
//   std::invalid_argument "deg < 0", then "n_grid < 2";
//   qorv::size_error when the matrices cannot be held; whatever
//   `interrupt` throws.
PenaltyMatrices1D smoothness_penalty_matrices_1d(
    int deg, double x_min, double x_max, int n_grid,
    InterruptCheck interrupt = nullptr);

}  // namespace qorv
