// The Metropolis acceptance rule shared by both phases of the search.
#pragma once

#include <cmath>

#include "search/draws.hpp"

namespace qorv {

// Downhill always (without a draw); otherwise one uniform draw u on [0, 1)
// and acceptance when u < exp(min(0, (e - ec) / T)). min(0, x) keeps x only
// when x < 0, so an undefined comparison (NaN) accepts.
template <class Engine>
inline bool metropolis_accept(double e, double ec, double T, Engine& engine) {
  if (ec < e) return true;
  const double u = uniform_draw(engine, 0.0, 1.0);
  const double x = (e - ec) / T;
  return u < std::exp(x < 0.0 ? x : 0.0);
}

}  // namespace qorv
