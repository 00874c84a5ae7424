// Gradient and Hessian penalty matrices of a tensor-product polynomial basis
// on a box.
#pragma once

#include <Eigen/Dense>
#include <utility>
#include <vector>

#include "basis/multi_indices.hpp"
#include "common/interrupt.hpp"

namespace qorv {

// Grid points per axis of the penalty sums when the caller gives none.
inline constexpr int kDefaultGridPerDim = 30;

struct PenaltyMatricesND {
  Eigen::MatrixXd R1;          // M x M, squared gradient
  Eigen::MatrixXd R2;          // M x M, squared Hessian (mixed partials twice)
  MultiIndices multi_indices;  // M multi-indices fixing row/column order
};

// Equal-weight sums (weight dV = product of the axis steps) over the full
// tensor grid of n_grid_per_dim points per axis, of the squared first
// partials (R1) and of the squared second partials over every ordered axis
// pair (R2), for the basis of generate_multi_indices(degrees). Computed from
// one-axis Gram matrices of the derivative tables, which the tensor
// structure of grid, weights and basis makes exact. Results are exactly
// symmetric.
//
// Inputs:
//   degrees         D per-variable highest powers
//   bounds          D pairs (lo_d, hi_d)
//   n_grid_per_dim  points per axis, >= 2
//   interrupt       polled about every million multiply-adds (may be null)
// Output:
//   {R1, R2, multi_indices}
// Cost: with M = prod_d (degrees[d] + 1) and A the number of positive
// degrees, O(n_grid_per_dim sum_d (degrees[d] + 1)^2) for the axis tables
// and O(M^2 A) for the pairs; O(M^2) memory. The grid's n^D points are never
// visited one by one.
// Throws:
//   std::invalid_argument "Dimension mismatch." when bounds and degrees
//   differ in length (checked first), "n_grid_per_dim < 2";
//   qorv::size_error (a std::bad_alloc) for a degree below -1 or a basis
//   too large to hold; whatever `interrupt` throws.
PenaltyMatricesND build_penalty_matrices_nd(
    const std::vector<int>& degrees,
    const std::vector<std::pair<double, double>>& bounds, int n_grid_per_dim,
    InterruptCheck interrupt = nullptr);

}  // namespace qorv
