#include "penalty/boundary_reduce_1d.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <string>

#include "basis/monomial_derivatives.hpp"
#include "common/size_guard.hpp"

namespace qorv {

Eigen::MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max) {
  // Checked here: Eigen accepts a negative vector size without complaint.
  if (deg < -1)
    throw size_error("boundary matrix for deg = " + std::to_string(deg) +
                     " has a negative size");
  if (deg == INT_MAX)
    throw size_error("deg + 1 rows overflow a 32-bit count (deg = " +
                     std::to_string(deg) + ")");
  const std::int64_t M = static_cast<std::int64_t>(deg) + 1;
  if (M == 0) return Eigen::MatrixXd(0, 0);
  checked_elements(M, M, sizeof(double), "boundary matrix");

  Eigen::VectorXd a1(M), a2(M), b1(M), b2(M);
  deriv_row(x_min, deg, 1, a1);
  deriv_row(x_min, deg, 2, a2);
  deriv_row(x_max, deg, 1, b1);
  deriv_row(x_max, deg, 2, b2);

  // T(i, j) = b2[i] b1[j] rounded, minus a2[i] a1[j] in one fused
  // multiply-add; Rb = (T + T^T) / 2, formed pairwise so that T itself is
  // never stored. Addition commutes exactly, so (i, j) and (j, i) agree.
  const auto T = [&](Eigen::Index i, Eigen::Index j) {
    return std::fma(-a2[i], a1[j], b2[i] * b1[j]);
  };
  Eigen::MatrixXd Rb(M, M);
  for (Eigen::Index j = 0; j < M; ++j) {
    for (Eigen::Index i = j; i < M; ++i) {
      const double v = (T(i, j) + T(j, i)) * 0.5;
      Rb(i, j) = v;
      Rb(j, i) = v;
    }
  }
  return Rb;
}

}  // namespace qorv
