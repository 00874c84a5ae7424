#include "search/energy.hpp"

#include <cmath>
#include <cstdint>

#include "common/lanes.hpp"

namespace qorv {

namespace {

// |d| < eps for a pair, as a count of 0, 1 or 2 added to `h` (true is -1 in
// every lane of a comparison).
#if defined(__GNUC__)
using mask2 = decltype(lane2_zero() < lane2_zero());  // two 64-bit lanes

inline void add_hits(lane2 d, lane2 eps, mask2& h) {
  const mask2 magnitude = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
  const lane2 a = reinterpret_cast<lane2>(reinterpret_cast<mask2>(d) & magnitude);
  h -= (a < eps);
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
      model_term_(mdl_model_term(y.size(), static_cast<int>(X.cols()), H)) {}

double Energy::operator()(const Eigen::VectorXd& b, double* work) const {
  const Eigen::Index n = y_.size();
  const Eigen::Index k = X_.cols();
  const double* X = X_.data();
  const double* y = y_.data();
  const double* bv = b.data();
  // Eight rows at a time, their predictions held in registers across all k
  // columns and counted at once: X is read once and nothing is stored. Each
  // row gets exactly the scalar arithmetic, so the bits do not depend on
  // how rows are grouped.
  std::int64_t hits = 0;
  Eigen::Index i = 0;
#if defined(__GNUC__)
  if (k > 0) {
    const lane2 e = lane2_splat(eps_);
    mask2 h = {0, 0};
    const lane2 b0 = lane2_splat(bv[0]);
    for (; i + 8 <= n; i += 8) {
      const double* c = X + i;
      lane2 a0 = load2(c) * b0, a1 = load2(c + 2) * b0;
      lane2 a2 = load2(c + 4) * b0, a3 = load2(c + 6) * b0;
      for (Eigen::Index j = 1; j < k; ++j) {
        c += n;
        const lane2 bj = lane2_splat(bv[j]);
        a0 = a0 + load2(c) * bj;
        a1 = a1 + load2(c + 2) * bj;
        a2 = a2 + load2(c + 4) * bj;
        a3 = a3 + load2(c + 6) * bj;
      }
      add_hits(a0 - load2(y + i), e, h);
      add_hits(a1 - load2(y + i + 2), e, h);
      add_hits(a2 - load2(y + i + 4), e, h);
      add_hits(a3 - load2(y + i + 6), e, h);
    }
    hits = h[0] + h[1];
  }
#endif
  hits += hits_scalar(X, n, k, bv, y, eps_, i);
  double L = mdl_data_term(hits, n) + model_term_;
  if (pen_.active()) L = mdl_add_penalties(L, b, pen_, work);
  return L;
}

}  // namespace qorv
