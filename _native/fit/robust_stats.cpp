#include "fit/robust_stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace qorv {

double median_inplace(std::vector<double>& v) {
  const std::size_t n = v.size();
  if (n == 0) return 0.0;
  // NaN breaks the ordering that selection relies on (and can send it past
  // the range): it has no median.
  for (double e : v)
    if (std::isnan(e)) return std::numeric_limits<double>::quiet_NaN();
  const auto hi = static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(v.begin(), v.begin() + hi, v.end());
  const double a = v[hi];
  if (n % 2 == 1) return a;
  // Everything before hi is <= a after the selection, so its maximum is the
  // lower middle order statistic: one scan instead of a second selection.
  const double b = *std::max_element(v.begin(), v.begin() + hi);
  return 0.5 * (a + b);
}

double mad(const VectorRef& y) {
  // One buffer for both medians: the first selection only permutes y, and
  // the deviations of a permutation have the same median.
  std::vector<double> buf(y.data(), y.data() + y.size());
  const double m = median_inplace(buf);
  for (double& v : buf) v = std::abs(v - m);
  return median_inplace(buf);
}

std::int64_t count_hits(const VectorRef& yp, const VectorRef& yt, double eps) {
  const Eigen::Index n = yt.size();
  if (yp.size() < n)
    throw std::invalid_argument("yp has " + std::to_string(yp.size()) +
                                " entries but yt has " + std::to_string(n));
  std::int64_t hit = 0;
  const double* p = yp.data();
  const double* t = yt.data();
  for (Eigen::Index i = 0; i < n; ++i) hit += std::abs(p[i] - t[i]) < eps;
  return hit;
}

double compute_SR(const VectorRef& yp, const VectorRef& yt, double eps) {
  const std::int64_t hit = count_hits(yp, yt, eps);
  const double nd = static_cast<double>(yt.size());
  const double sr = static_cast<double>(hit) / nd;
  // std::max returns its first argument unless the second is larger, so a
  // NaN rate (n = 0) comes back as NaN.
  return std::max(sr, 1.0 / (2.0 * nd));
}

}  // namespace qorv
