// The Metropolis acceptance rule shared by both phases of the search.
#pragma once

#include <cmath>
#include <random>

namespace qorv {

// Downhill always (without a draw); otherwise one uniform draw u and
// acceptance when u < exp(min(0, (e - ec) / T)). min(0, x) keeps x only
// when x < 0, so an undefined comparison (NaN) accepts.
template <class Engine>
inline bool metropolis_accept(double e, double ec, double T, Engine& engine,
                              std::uniform_real_distribution<double>& unif) {
  if (ec < e) return true;
  const double u = unif(engine);
  const double x = (e - ec) / T;
  return u < std::exp(x < 0.0 ? x : 0.0);
}

}  // namespace qorv
