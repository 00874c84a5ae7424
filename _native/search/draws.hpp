// The search's random draws, written out so that a seed gives the same
// stream with every C++ library: the standard leaves the algorithms of its
// distributions to each library, and they differ. These reproduce the GNU
// library's uniform and normal draws from a 64-bit Mersenne Twister bit for
// bit, using only integer arithmetic, correctly rounded + - * / and sqrt,
// and std::log (the one function whose rounding the C library decides).
//
// Nothing here throws or allocates.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace qorv {

// The double nearest to bits / 2^64 (ties to even), with a result that
// rounds up to 1 replaced by the largest double below 1: the canonical
// construction from one 64-bit draw for a 53-bit mantissa. The rounding is
// done on the integer, so it does not depend on how a compiler converts a
// 64-bit unsigned integer to double.
inline double unit_from_bits(std::uint64_t bits) {
  constexpr std::uint64_t kMantissaLimit = std::uint64_t{1} << 53;
  int shift = 0;
  while ((bits >> shift) >= kMantissaLimit) ++shift;  // at most 11
  std::uint64_t q = bits >> shift;
  if (shift > 0) {
    const std::uint64_t rest = bits & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (q & 1u) != 0)) ++q;  // q <= 2^53
  }
  // q and 2^(shift - 64) are exact doubles, so the product is exact.
  const double u = std::ldexp(static_cast<double>(q), shift - 64);
  return u < 1.0 ? u : 1.0 - std::numeric_limits<double>::epsilon() / 2.0;
}

// One uniform draw on [0, 1) from a full-range 64-bit engine.
template <class Engine>
inline double unit_draw(Engine& engine) {
  static_assert(Engine::min() == 0 &&
                    Engine::max() == std::numeric_limits<std::uint64_t>::max(),
                "the canonical construction here takes one full 64-bit draw");
  return unit_from_bits(static_cast<std::uint64_t>(engine()));
}

// One uniform draw on [lo, hi): u (hi - lo) + lo, multiplied and added as
// two rounded operations.
template <class Engine>
inline double uniform_draw(Engine& engine, double lo, double hi) {
  return unit_draw(engine) * (hi - lo) + lo;
}

// A normal stream's state: its parameters and the second value of the last
// polar pair, kept for the next call (unscaled).
struct NormalStream {
  double mean = 0.0;
  double stddev = 1.0;
  double saved = 0.0;
  bool have_saved = false;
};

// One normal draw by the polar method: pairs (x, y) = (2 u1 - 1, 2 u2 - 1)
// with u1 drawn before u2 until 0 < x^2 + y^2 <= 1; y m is returned and
// x m saved, with m = sqrt(-2 ln r2 / r2); the value is scaled as
// v stddev + mean.
template <class Engine>
inline double normal_draw(NormalStream& s, Engine& engine) {
  double v;
  if (s.have_saved) {
    s.have_saved = false;
    v = s.saved;
  } else {
    double x, y, r2;
    do {
      x = 2.0 * unit_draw(engine) - 1.0;
      y = 2.0 * unit_draw(engine) - 1.0;
      r2 = x * x + y * y;
    } while (r2 > 1.0 || r2 == 0.0);
    const double m = std::sqrt(-2.0 * std::log(r2) / r2);
    s.saved = x * m;
    s.have_saved = true;
    v = y * m;
  }
  return v * s.stddev + s.mean;
}

}  // namespace qorv
