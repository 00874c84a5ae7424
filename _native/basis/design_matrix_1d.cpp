#include "basis/design_matrix_1d.hpp"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>

#include "common/huge_pages.hpp"
#include "common/size_guard.hpp"
#include "common/threads.hpp"

namespace qorv {

// Entries below which one thread writes the whole matrix: a team costs a
// few microseconds to wake, about what a thread writes of 2^16 doubles.
constexpr std::int64_t kMinTeamElements = std::int64_t{1} << 16;

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
  // read once from memory, whatever the size. Entries do not depend on one
  // another, so the blocks may go to any thread: a large matrix is written
  // by the whole team (the first touch of fresh pages included), the bits
  // are the same.
  constexpr Eigen::Index kBlock = 512;
  const Eigen::Index n_blocks = (n + kBlock - 1) / kBlock;
  const bool team = n * M >= kMinTeamElements && threads_usable();
  const double* xs = x.data();
  double* base = Phi.data();
#pragma omp parallel for schedule(static) num_threads(loop_threads(n_blocks)) if (team)
  for (Eigen::Index b = 0; b < n_blocks; ++b) {
    const Eigen::Index r0 = b * kBlock;
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
