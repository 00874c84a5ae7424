#include "basis/design_matrix_1d.hpp"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>

#include "common/huge_pages.hpp"
#include "common/size_guard.hpp"

namespace qorv {

Eigen::MatrixXd design_matrix_1d(int deg, const Eigen::VectorXd& x) {
  if (deg < 0) throw std::invalid_argument("deg < 0");
  // The column count is an int: deg = INT_MAX has no deg + 1.
  if (deg == INT_MAX)
    throw size_error("deg + 1 columns overflow a 32-bit count (deg = " +
                     std::to_string(deg) + ")");
  const std::int64_t M = static_cast<std::int64_t>(deg) + 1;
  const Eigen::Index n = x.size();
  checked_elements(n, M, sizeof(double), "design matrix");
  Eigen::MatrixXd Phi(n, M);
  advise_huge_pages(Phi.data(), static_cast<std::size_t>(Phi.size()) * sizeof(double));

  // Row blocks small enough that the previous column's block is still in
  // L1 when the next is formed: each entry of Phi is written once and x is
  // read once from memory, whatever the size.
  constexpr Eigen::Index kBlock = 512;
  const double* xs = x.data();
  double* base = Phi.data();
  for (Eigen::Index r0 = 0; r0 < n; r0 += kBlock) {
    const Eigen::Index len = std::min(kBlock, n - r0);
    double* col = base + r0;
    for (Eigen::Index i = 0; i < len; ++i) col[i] = 1.0;
    for (std::int64_t p = 1; p < M; ++p) {
      const double* prev = col;
      col += n;
      for (Eigen::Index i = 0; i < len; ++i) col[i] = prev[i] * xs[r0 + i];
    }
  }
  return Phi;
}

}  // namespace qorv
