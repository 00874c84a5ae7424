#include "search/energy.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qorv {

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
  // A block of predictions stays in L1 while the columns stream past.
  constexpr Eigen::Index kBlock = 256;
  double acc[kBlock];
  std::int64_t hits = 0;
  for (Eigen::Index r0 = 0; r0 < n; r0 += kBlock) {
    const Eigen::Index len = std::min(kBlock, n - r0);
    if (k == 0) {
      for (Eigen::Index i = 0; i < len; ++i) acc[i] = 0.0;
    } else {
      const double* col = X + r0;
      const double b0 = bv[0];
      for (Eigen::Index i = 0; i < len; ++i) acc[i] = col[i] * b0;
      for (Eigen::Index j = 1; j < k; ++j) {
        col += n;
        const double bj = bv[j];
        for (Eigen::Index i = 0; i < len; ++i) acc[i] = acc[i] + col[i] * bj;
      }
    }
    const double* yt = y + r0;
    std::int64_t h = 0;
    for (Eigen::Index i = 0; i < len; ++i) h += std::abs(acc[i] - yt[i]) < eps_;
    hits += h;
  }
  double L = mdl_data_term(hits, n) + model_term_;
  if (pen_.active()) L = mdl_add_penalties(L, b, pen_, work);
  return L;
}

}  // namespace qorv
