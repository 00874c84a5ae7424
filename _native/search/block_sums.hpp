// The predictions of one block of rows, held in registers: shared by the
// search's exact hit count (doubles) and its single-precision screen
// (floats).
//
// Each load of X serves every coefficient vector of the block. Nothing here
// throws.
#pragma once

#include <Eigen/Core>

#include "common/isa.hpp"

namespace qorv {

// a[v][r] = sum over the k >= 1 columns j (ld apart from c) of the lanes
// c[j ld + r W ...] times b[v][j], for the NB vectors b[v] and the A
// vectors of W rows: each product rounded, then added in column order, the
// first taken as it is (never fused), so every row gets the arithmetic of
// the scalar loop whatever V, A and NB are.
template <class V, int A, int NB, class T>
inline __attribute__((always_inline)) void block_sums(const T* c, Eigen::Index ld,
                                                      Eigen::Index k, const T* const* b,
                                                      V (&a)[NB][A]) {
  constexpr Eigen::Index W = sizeof(V) / sizeof(T);
  V bj[NB];
  for (int v = 0; v < NB; ++v) bj[v] = V{} + b[v][0];
#pragma GCC unroll 16
  for (int r = 0; r < A; ++r) {
    V x;
    load_lanes(x, c + r * W);
    for (int v = 0; v < NB; ++v) a[v][r] = x * bj[v];
  }
  for (Eigen::Index j = 1; j < k; ++j) {
    c += ld;
    for (int v = 0; v < NB; ++v) bj[v] = V{} + b[v][j];
#pragma GCC unroll 16
    for (int r = 0; r < A; ++r) {
      V x;
      load_lanes(x, c + r * W);
      for (int v = 0; v < NB; ++v) a[v][r] = a[v][r] + x * bj[v];
    }
  }
}

}  // namespace qorv
