// Loads, stores and broadcasts of double pairs (common/isa.hpp) for the
// reductions.
//
// Each lane is its own scalar sum: an operation on a pair is exactly the two
// scalar operations, so a kernel written with pairs has a fixed summation
// order and gives the same bits whether the pair maps onto a vector register
// (SSE2, NEON) or onto two scalar registers. The kernels say which entries go
// to which lane and in which order the lanes are combined. Plain lane-array
// loops would carry the same meaning, but GCC vectorises them across loop
// iterations (with shuffles) instead of across lanes, at half the speed.
//
// Nothing here throws.
#pragma once

#include <cstring>

#include "common/isa.hpp"

namespace qorv {

inline lane2 lane2_zero() { return lane2{0.0, 0.0}; }
inline lane2 lane2_splat(double x) { return lane2{x, x}; }

// Unaligned load and store of p[0], p[1].
inline lane2 load2(const double* p) {
  lane2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store2(double* p, lane2 v) { std::memcpy(p, &v, sizeof v); }

}  // namespace qorv
