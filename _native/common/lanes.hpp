// Independent double lanes for the hot kernels: pairs for the reductions,
// fours for the search's hit count.
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

namespace qorv {

#if defined(__GNUC__)
typedef double lane2 __attribute__((vector_size(16)));
#else
struct lane2 {
  double v[2];
  double operator[](int i) const { return v[i]; }
  friend lane2 operator+(lane2 a, lane2 b) { return {{a.v[0] + b.v[0], a.v[1] + b.v[1]}}; }
  friend lane2 operator-(lane2 a, lane2 b) { return {{a.v[0] - b.v[0], a.v[1] - b.v[1]}}; }
  friend lane2 operator*(lane2 a, lane2 b) { return {{a.v[0] * b.v[0], a.v[1] * b.v[1]}}; }
  lane2& operator+=(lane2 b) { return *this = *this + b; }
  lane2& operator-=(lane2 b) { return *this = *this - b; }
};
#endif

inline lane2 lane2_zero() { return lane2{0.0, 0.0}; }
inline lane2 lane2_splat(double x) { return lane2{x, x}; }

// Unaligned load and store of p[0], p[1].
inline lane2 load2(const double* p) {
  lane2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store2(double* p, lane2 v) { std::memcpy(p, &v, sizeof v); }

// Where kernels written with these lanes also get AVX2 and AVX-512 clones,
// chosen at load time: GCC on x86-64, except under AddressSanitizer and in
// the baseline-only build (which keep to the baseline path).
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(QORV_BASELINE_ONLY)
#define QORV_LANE_CLONES 1
#endif

#if defined(__GNUC__)
// Four independent double lanes with a 64-bit comparison mask per lane, for
// the search's hit count: two SSE2 registers each on the baseline, one AVX2
// register in a clone built for it. The same lane rule holds: each lane is
// its own scalar arithmetic, so the bits never depend on the mapping. Its
// users keep it off every function boundary that another translation unit
// sees, so GCC's note about the AVX value ABI is moot (silenced here for
// these inline helpers; a user silences it for its own calls).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double lane4 __attribute__((vector_size(32)));
using mask4 = decltype(lane4{} < lane4{});

inline lane4 lane4_splat(double x) { return lane4{x, x, x, x}; }

// Unaligned load of p[0..3].
inline lane4 load4(const double* p) {
  lane4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
#pragma GCC diagnostic pop
#endif

}  // namespace qorv
