// Design matrix of a several-variable polynomial basis.
#pragma once

#include <Eigen/Dense>
#include <vector>

#include "basis/multi_indices.hpp"

namespace qorv {

// Phi(i, j) = product over the variables d with p_d = multi_indices[j][d] > 0,
// in increasing d from 1.0, of pow(X_cols[d](i), p_d); exponents of zero or
// below contribute nothing, and exponents past the number of variables are
// never read.
//
// Inputs:
//   multi_indices  M lists of exponents, each at least D long
//   X_cols         D sample columns (D >= 1); n is the length of the first,
//                  the others have at least n entries (the rest is unread)
// Output:
//   n by M matrix
// Throws:
//   std::invalid_argument when X_cols is empty, a column is shorter than the
//   first or an inner list is shorter than X_cols; qorv::size_error when the
//   result cannot be held.
Eigen::MatrixXd design_matrix_nd(const MultiIndices& multi_indices,
                                 const std::vector<Eigen::VectorXd>& X_cols);

}  // namespace qorv
