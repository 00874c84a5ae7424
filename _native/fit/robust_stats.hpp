// Robust spread and hit rate.
#pragma once

#include <Eigen/Dense>
#include <cstdint>
#include <vector>

#include "common/dense_ref.hpp"

namespace qorv {

// Median of v (0.0 when empty): one selection for the middle (odd size) or
// upper middle (even size) order statistic, and for even sizes the largest
// value before it as the lower middle. Any NaN gives NaN (selection has no
// order for it). v is reordered.
double median_inplace(std::vector<double>& v);

// Raw median absolute deviation about the median, no consistency factor.
// 0.0 for an empty y; NaN when y holds a NaN.
double mad(const VectorRef& y);

// Number of the n = yt.size() samples with |yp[i] - yt[i]| < eps (strict; a
// NaN error misses); entries of yp past n are ignored.
// Throws std::invalid_argument when yp is shorter than yt.
std::int64_t count_hits(const VectorRef& yp, const VectorRef& yt, double eps);

// Share of the n = yt.size() samples with |yp[i] - yt[i]| < eps (strict; a
// NaN error misses), floored at 1 / (2n); NaN for n = 0. Entries of yp past n
// are ignored.
// Throws std::invalid_argument when yp is shorter than yt.
double compute_SR(const VectorRef& yp, const VectorRef& yt, double eps);

}  // namespace qorv
