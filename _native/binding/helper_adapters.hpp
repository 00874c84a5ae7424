// Adapters of the private helper module: the core's own arithmetic for the
// Python layer, with the argument checks the core leaves to its callers.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "binding/conversions.hpp"
#include "fit/mdl_score.hpp"
#include "fit/robust_stats.hpp"

namespace qorv_py {

inline double hit_tolerance_adapter(double spread) { return qorv::hit_tolerance(spread); }

// H is taken as the core's score takes it (any value; H <= 0 gives what the
// logarithm gives), so the two never disagree on an accepted call.
inline double mdl_from_hits_adapter(std::int64_t hits, std::int64_t n, int k, int H) {
  if (n < 1) throw py::value_error("mdl_from_hits: n must be >= 1, got n = " + std::to_string(n));
  if (hits < 0 || hits > n)
    throw py::value_error("mdl_from_hits: hits must be in [0, n], got hits = " +
                          std::to_string(hits) + ", n = " + std::to_string(n));
  if (k < 0) throw py::value_error("mdl_from_hits: k must be >= 0, got k = " + std::to_string(k));
  return qorv::mdl_hits_score(hits, n, k, H);
}

inline std::int64_t count_hits_adapter(VectorIn& yp, VectorIn& yt, double eps) {
  return qorv::count_hits(yp.borrow(), yt.borrow(), eps);
}

}  // namespace qorv_py
