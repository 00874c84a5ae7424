#include "search/energy.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "common/lanes.hpp"

namespace qorv {

namespace {

// Hits of the rows [0, 16 m) with 16 m <= n, sixteen rows at a time, their
// predictions held in registers across all k >= 1 columns and counted at
// once: X is read once and nothing is stored. Four-wide vectors, which the
// compiler maps onto two SSE2 registers each or, in the AVX2 clone picked at
// load time on CPUs that have it, onto one register. Every row gets exactly
// the scalar arithmetic of hits_scalar (products rounded, then added in
// column order; never fused), so the clone changes the speed, not the bits.
#if defined(__GNUC__)
// The four-wide type never crosses a function boundary that another
// translation unit sees, so the ABI note about AVX values is moot.
#pragma GCC diagnostic ignored "-Wpsabi"
#if defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(QORV_BASELINE_ONLY)
__attribute__((target_clones("avx2", "default")))
#endif
std::int64_t hits_blocked(const double* X, Eigen::Index n, Eigen::Index k,
                          const double* b, const double* y, double eps,
                          Eigen::Index rows) {
  const lane4 e = lane4_splat(eps);
  const mask4 magnitude = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL,
                           0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
  mask4 h = {0, 0, 0, 0};
  const lane4 b0 = lane4_splat(b[0]);
  for (Eigen::Index i = 0; i < rows; i += 16) {
    const double* c = X + i;
    lane4 a0 = load4(c) * b0, a1 = load4(c + 4) * b0;
    lane4 a2 = load4(c + 8) * b0, a3 = load4(c + 12) * b0;
    for (Eigen::Index j = 1; j < k; ++j) {
      c += n;
      const lane4 bj = lane4_splat(b[j]);
      a0 = a0 + load4(c) * bj;
      a1 = a1 + load4(c + 4) * bj;
      a2 = a2 + load4(c + 8) * bj;
      a3 = a3 + load4(c + 12) * bj;
    }
    const lane4 d[4] = {a0 - load4(y + i), a1 - load4(y + i + 4),
                        a2 - load4(y + i + 8), a3 - load4(y + i + 12)};
    for (const lane4& di : d) {
      const lane4 mag = reinterpret_cast<lane4>(reinterpret_cast<mask4>(di) & magnitude);
      h -= (mag < e);  // true is -1 in every lane
    }
  }
  return (h[0] + h[1]) + (h[2] + h[3]);
}
#endif

// Hits of the rows [i0, n) one at a time: prediction sum_j X(i, j) b_j in
// column order, the first product taken as it is.
std::int64_t hits_scalar(const double* X, Eigen::Index n, Eigen::Index k,
                         const double* b, const double* y, double eps,
                         Eigen::Index i0) {
  std::int64_t h = 0;
  for (Eigen::Index i = i0; i < n; ++i) {
    double acc = 0.0;
    if (k > 0) {
      acc = X[i] * b[0];
      for (Eigen::Index j = 1; j < k; ++j) acc = acc + X[j * n + i] * b[j];
    }
    h += std::abs(acc - y[i]) < eps;
  }
  return h;
}

}  // namespace

Energy::Energy(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, int H,
               double eps, const PenaltySpec& pen)
    : X_(X), y_(y), eps_(eps), pen_(pen),
      model_term_(mdl_model_term(y.size(), static_cast<int>(X.cols()), H)) {
  const std::int64_t n = y.size(), k = X.cols();
  const std::int64_t terms = (pen.term1() ? 1 : 0) + (pen.term2() ? 1 : 0);
  work_ = n * std::max<std::int64_t>(k, 1) + n + terms * k * k + kStepOverhead;
}

double Energy::operator()(const Eigen::VectorXd& b, double* work) const {
  const Eigen::Index n = y_.size();
  const Eigen::Index k = X_.cols();
  const double* X = X_.data();
  const double* y = y_.data();
  const double* bv = b.data();
  std::int64_t hits = 0;
  Eigen::Index i = 0;
#if defined(__GNUC__)
  if (k > 0) {
    i = n - n % 16;
    hits = hits_blocked(X, n, k, bv, y, eps_, i);
  }
#endif
  hits += hits_scalar(X, n, k, bv, y, eps_, i);
  double L = mdl_data_term(hits, n) + model_term_;
  if (pen_.active()) L = mdl_add_penalties(L, b, pen_, work);
  return L;
}

}  // namespace qorv
