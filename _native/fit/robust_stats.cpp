#include "fit/robust_stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/isa.hpp"

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

namespace {

// Rows [i0, n) with |p[i] - t[i]| < eps, one at a time.
std::int64_t hits_scalar(const double* p, const double* t, Eigen::Index i0, Eigen::Index n,
                         double eps) {
  std::int64_t hit = 0;
  for (Eigen::Index i = i0; i < n; ++i) hit += std::abs(p[i] - t[i]) < eps;
  return hit;
}

#if defined(QORV_WIDE_KERNELS)
// The same count sixteen rows a step in four-lane AVX2 registers; a count
// is an integer, so the grouping cannot change it. (The scalar loop's
// speed also moved by a third with where the linker placed it.)
__attribute__((target("avx2"))) std::int64_t hits_avx2(const double* p, const double* t,
                                                       Eigen::Index n, double eps) {
  const lane4 e = {eps, eps, eps, eps};
  const mask4 magnitude = mask4{} + 0x7fffffffffffffffLL;
  mask4 h[4] = {};
  Eigen::Index i = 0;
  for (; i + 16 <= n; i += 16)
    for (int r = 0; r < 4; ++r) {
      lane4 pr, tr;
      load_lanes(pr, p + i + 4 * r);
      load_lanes(tr, t + i + 4 * r);
      const lane4 d = pr - tr;
      h[r] -= reinterpret_cast<lane4>(reinterpret_cast<mask4>(d) & magnitude) < e;
    }
  std::int64_t hit = 0;
  for (int r = 0; r < 4; ++r) hit += h[r][0] + h[r][1] + h[r][2] + h[r][3];
  return hit + hits_scalar(p, t, i, n, eps);
}
#endif

}  // namespace

std::int64_t count_hits(const VectorRef& yp, const VectorRef& yt, double eps) {
  const Eigen::Index n = yt.size();
  if (yp.size() < n)
    throw std::invalid_argument("yp has " + std::to_string(yp.size()) +
                                " entries but yt has " + std::to_string(n));
#if defined(QORV_WIDE_KERNELS)
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  if (avx2) return hits_avx2(yp.data(), yt.data(), n, eps);
#endif
  return hits_scalar(yp.data(), yt.data(), 0, n, eps);
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
