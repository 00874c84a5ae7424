#include "penalty/smoothness_penalty_1d.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "basis/monomial_derivatives.hpp"
#include "common/size_guard.hpp"

namespace qorv {

namespace {

// R(i, j) += dx * d[i] d[j] on the lower triangle, diagonal included: the
// product rounded, then one fused multiply-add. The upper triangle is a
// mirror filled at the end; its entries would get the same arithmetic,
// since d[i] d[j] == d[j] d[i].
void add_outer_lower(Eigen::MatrixXd& R, const Eigen::VectorXd& d, double dx) {
  const Eigen::Index M = d.size();
  const double* v = d.data();
  for (Eigen::Index j = 0; j < M; ++j) {
    double* col = R.data() + j * M;
    const double vj = v[j];
    for (Eigen::Index i = j; i < M; ++i) {
      const double t = v[i] * vj;
      col[i] = std::fma(t, dx, col[i]);
    }
  }
}

void mirror_lower(Eigen::MatrixXd& R) {
  const Eigen::Index M = R.rows();
  for (Eigen::Index j = 0; j < M; ++j)
    for (Eigen::Index i = j + 1; i < M; ++i) R(j, i) = R(i, j);
}

}  // namespace

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min,
                                                 double x_max, int n_grid,
                                                 InterruptCheck interrupt) {
  if (deg < 0) throw std::invalid_argument("deg < 0");
  if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
  if (deg == INT_MAX)
    throw size_error("deg + 1 rows overflow a 32-bit count (deg = " +
                     std::to_string(deg) + ")");
  const std::int64_t M = static_cast<std::int64_t>(deg) + 1;
  // Two M x M results.
  checked_elements(M, 2 * M, sizeof(double), "penalty matrices");
  const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);

  PenaltyMatrices1D out{Eigen::MatrixXd::Zero(M, M), Eigen::MatrixXd::Zero(M, M)};
  Eigen::VectorXd d1(M), d2(M);
  // A grid of 2^31 points, or one point of a basis of thousands, takes
  // seconds: let the caller stop it.
  WorkPoll poll(interrupt);
  const std::int64_t work_per_point = 2 * M * kDerivativeWork + M * (M + 1);
  for (int g = 0; g < n_grid; ++g) {
    poll.done(work_per_point);
    const double x = std::fma(static_cast<double>(g), dx, x_min);
    deriv_row(x, deg, 1, d1);
    deriv_row(x, deg, 2, d2);
    add_outer_lower(out.R1, d1, dx);
    add_outer_lower(out.R2, d2, dx);
  }
  mirror_lower(out.R1);
  mirror_lower(out.R2);
  return out;
}

}  // namespace qorv
