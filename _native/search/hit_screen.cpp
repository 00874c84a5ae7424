#include "search/hit_screen.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "common/isa.hpp"
#include "common/size_guard.hpp"
#include "search/block_sums.hpp"

// Why a decided row is decided exactly. Let t = sum_j x_j b_j exactly, S =
// sum_j |x_j b_j| <= |x|_2 |b|_2, u = 2^-24 and u' = 2^-53. With every
// |x_j|, |b_j|, |y| <= 2^50 nothing overflows in either precision, and
// rounding to single (the copy of x, b and y; each product; each sum) is
// relative error at most u plus, below the normal range, 2^-150 absolute
// (sums are exact there). So the screened sum f has |f - t| <= g32 S + k
// 2^-98 with g32 = (k+2)u / (1 - (k+2)u), and the double sum d has |d - t|
// <= g64 S + k 2^-1074 with g64 = k u' / (1 - k u'). The screen compares
// a = |fl32(f - fl32(y))| against eps moved by 2^-18 relative and by
// B >= 2 (g32 + g64) |x|_2 |b|_2 + 2 (u |y| + (k+1) 2^-96), at least twice
// every error above; what is left of the 2^-18 covers the final rounding
// of a, of d - y and of the bound's own float arithmetic. Then a < eps_lo -
// B implies |fl64(d - y)| < eps (a hit), and a > eps_hi + B implies it is
// at least eps (a miss). A row with a non-finite entry or target misses in
// double whatever b is (its sum or its distance is infinite or NaN), so its
// rounded target is NaN and it is decided as a miss; a row with an entry or
// target beyond 2^50 gets B = +inf and is never decided.

namespace qorv {

namespace {

constexpr int kMaxShared = 3;  // coefficient vectors per pass of a kernel
constexpr Eigen::Index kMaxColumns = 1024;
constexpr Eigen::Index kMinRows = 512;  // below, a call's set-up outweighs what it saves
constexpr double kMaxMagnitude = 0x1p50;
constexpr double kMinEps = 0x1p-40;
constexpr Eigen::Index kWideRowShare = 1024;  // at most one row in this many beyond 2^50
constexpr double kUnit32 = 0x1p-24;
constexpr double kUnit64 = 0x1p-53;
constexpr double kEpsSlack = 0x1p-18;
constexpr double kSafety = 2.0;
constexpr double kRoundUp = 1.0 + 0x1p-40;  // covers the double rounding of a bound
constexpr Eigen::Index kBlockRows = 64;  // rows per stored bound; tiles are whole blocks

double rounding_gamma(Eigen::Index n, double unit) {
  const double nu = static_cast<double>(n) * unit;
  return nu / (1.0 - nu);
}

// The bound's terms for one call: per block of kBlockRows rows, the
// largest row norm and target term; per call, the bound per unit of row
// norm and eps moved in and out by the slack.
struct ScreenTerms {
  const double* block_norm;
  const double* block_yterm;
  double scale, eps_lo, eps_hi;
};

// Floats just below and just above v: moved by more than the rounding to
// single precision can move back (2^-24 relative, 2^-150 absolute).
float float_below(double v) { return static_cast<float>(v - std::abs(v) * 0x1p-22 - 0x1p-140); }
float float_above(double v) { return static_cast<float>(v + std::abs(v) * 0x1p-22 + 0x1p-140); }

template <class M>
inline __attribute__((always_inline)) bool any_lane(const M& m) {
  std::uint64_t w[sizeof(M) / sizeof(std::uint64_t)];
  std::memcpy(w, &m, sizeof m);
  std::uint64_t any = 0;
  for (std::uint64_t x : w) any |= x;
  return any != 0;
}

// One block of A W rows from row i (i a multiple of A W, and A W a
// multiple or a divisor of kBlockRows) for NB vectors with float
// coefficients bf: the screened sums in registers across all columns, then
// per row and vector one count of certain hits (certain[v]) and one of
// possible hits (certain or undecided; `possible`, for all vectors), in
// int32 lane counters. Returns false, with the counters as they were, when
// a row of the block is undecided for some vector.
template <class V, int A, int NB, class M>
inline __attribute__((always_inline)) bool screen_block(
    const float* X, Eigen::Index ld, Eigen::Index k, const float* const* bf,
    const ScreenTerms& t, Eigen::Index i, M* certain, M& possible) {
  constexpr Eigen::Index W = sizeof(V) / sizeof(float);
  V a[NB][A];
  block_sums<V, A, NB>(X + i, ld, k, bf, a);
  // The block's thresholds, from the largest bound of its stored blocks.
  double norm = 0.0, yterm = 0.0;
  for (Eigen::Index blk = i / kBlockRows; blk * kBlockRows < i + A * W; ++blk) {
    norm = std::max(norm, t.block_norm[blk]);
    yterm = std::max(yterm, t.block_yterm[blk]);
  }
  double bound = (t.scale * norm + yterm) * kRoundUp;
  if (!(bound >= 0.0)) bound = std::numeric_limits<double>::infinity();  // never NaN: undecided
  const float lo = float_below(t.eps_lo - bound), hi = float_above(t.eps_hi + bound);
  M before[NB], possible_before = possible;
  for (int v = 0; v < NB; ++v) before[v] = certain[v];
  const float* yr = X + k * ld + i;
  const M magnitude = M{} + 0x7fffffff;
#pragma GCC unroll 16
  for (int r = 0; r < A; ++r) {
    V y;
    load_lanes(y, yr + r * W);
    for (int v = 0; v < NB; ++v) {
      const V m = reinterpret_cast<V>(reinterpret_cast<M>(a[v][r] - y) & magnitude);
      certain[v] = m < lo ? certain[v] + 1 : certain[v];
      possible = m <= hi ? possible + 1 : possible;
    }
  }
  // Each row adds to `possible` at least what it adds to the certain
  // counts, and the same only where it is decided for every vector.
  M gap = possible_before - possible;
  for (int v = 0; v < NB; ++v) gap += certain[v] - before[v];
  if (!any_lane(gap)) return true;
  for (int v = 0; v < NB; ++v) certain[v] = before[v];
  possible = possible_before;
  return false;
}

// Screens the rows [0, rows), rows a multiple of kBlockRows: certain[v] is
// vector v's count of hits in the decided blocks; the undecided blocks'
// spans go to spans[0 .. m) and m is returned, or -1 (at once) when more
// than `capacity` blocks are undecided.
template <class V, int A, int NB>
inline __attribute__((always_inline)) int screen_rows(
    const float* X, Eigen::Index ld, Eigen::Index k, const float* const* bf,
    const ScreenTerms& t, Eigen::Index rows, std::int64_t* certain, RowSpan* spans,
    int capacity) {
  using M = decltype(V{} < V{});
  constexpr Eigen::Index W = sizeof(V) / sizeof(float);
  constexpr int kHalf = A > 1 ? A / 2 : 1;
  M hc[NB], hp{};
  for (int v = 0; v < NB; ++v) hc[v] = M{};
  int m = 0;
  const auto undecided = [&](Eigen::Index i, Eigen::Index len) {
    if (m < capacity) spans[m] = RowSpan{i, len};
    ++m;
  };
  Eigen::Index i = 0;
  for (; i + A * W <= rows && m <= capacity; i += A * W)
    if (!screen_block<V, A, NB>(X, ld, k, bf, t, i, hc, hp)) undecided(i, A * W);
  for (; i + kHalf * W <= rows && m <= capacity; i += kHalf * W)
    if (!screen_block<V, kHalf, NB>(X, ld, k, bf, t, i, hc, hp)) undecided(i, kHalf * W);
  for (int v = 0; v < NB; ++v) {
    std::int64_t c = 0;
    for (Eigen::Index l = 0; l < W; ++l) c += hc[v][l];
    certain[v] = c;
  }
  return m <= capacity ? m : -1;
}

using ScreenKernel = int (*)(const float*, Eigen::Index, Eigen::Index, const float* const*,
                             const ScreenTerms&, Eigen::Index, std::int64_t*, RowSpan*, int);

// Sixteen floats a vector on AVX-512 with eight accumulators per vector
// and up to three vectors per load of X (24 sums in its 32 registers);
// eight on AVX2 and, as two SSE2 registers, four accumulators on the
// baseline, one vector per pass (their 16 registers hold no second set).
constexpr int kBaseAccumulators = 4;
#if defined(QORV_WIDE_KERNELS)
constexpr int kWideAccumulators = 8;
template <int NB>
__attribute__((target("avx512f,avx512dq"))) int screen_avx512(
    const float* X, Eigen::Index ld, Eigen::Index k, const float* const* bf,
    const ScreenTerms& t, Eigen::Index rows, std::int64_t* certain, RowSpan* spans,
    int capacity) {
  return screen_rows<flane16, kWideAccumulators, NB>(X, ld, k, bf, t, rows, certain, spans,
                                                     capacity);
}
__attribute__((target("avx2"))) int screen_avx2(
    const float* X, Eigen::Index ld, Eigen::Index k, const float* const* bf,
    const ScreenTerms& t, Eigen::Index rows, std::int64_t* certain, RowSpan* spans,
    int capacity) {
  return screen_rows<flane8, kWideAccumulators, 1>(X, ld, k, bf, t, rows, certain, spans,
                                                   capacity);
}
#endif
int screen_base(const float* X, Eigen::Index ld, Eigen::Index k, const float* const* bf,
                const ScreenTerms& t, Eigen::Index rows, std::int64_t* certain,
                RowSpan* spans, int capacity) {
  return screen_rows<flane8, kBaseAccumulators, 1>(X, ld, k, bf, t, rows, certain, spans,
                                                   capacity);
}

// kernel[NB - 1] takes NB vectors, for NB up to `shared`; below
// min_columns the rows' checks outweigh what the narrower sums save.
struct ScreenPath {
  ScreenKernel kernel[kMaxShared];
  int shared;
  Eigen::Index min_columns;
};

ScreenPath screen_path() {
  static const ScreenPath path = []() -> ScreenPath {
#if defined(QORV_WIDE_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
      return {{&screen_avx512<1>, &screen_avx512<2>, &screen_avx512<3>}, 3, 3};
    if (__builtin_cpu_supports("avx2")) return {{&screen_avx2, nullptr, nullptr}, 1, 6};
#endif
    return {{&screen_base, nullptr, nullptr}, 1, 6};
  }();
  return path;
}

// Leading dimension of the copy: the counted rows, and never a multiple of
// 4 KiB, at which every column of a tile would fall into the same L1 sets.
Eigen::Index screen_ld(Eigen::Index rows) {
  constexpr Eigen::Index page = 4096 / sizeof(float), shift = 64;
  return rows % page == 0 ? rows + shift : rows;
}

enum RowState : unsigned char { kInRange, kWide, kNotFinite };

// Rounds x into the copy (0 where it is beyond the range, so that every
// screened sum stays finite) and updates its row's state and square sum.
float take(double x, RowState& state, double& sumsq) {
  if (!std::isfinite(x)) {
    state = kNotFinite;
    return 0.0f;
  }
  if (std::abs(x) > kMaxMagnitude) {
    state = std::max(state, kWide);
    return 0.0f;
  }
  sumsq += x * x;
  return static_cast<float>(x);
}

}  // namespace

HitScreen::HitScreen(const MatrixView& X, const VectorRef& y, double eps, Eigen::Index rows) {
  try {
    build(X, y, eps, rows);
  } catch (const std::bad_alloc&) {
    *this = HitScreen();  // optional: without memory for it the exact count runs alone
  }
}

void HitScreen::build(const MatrixView& X, const VectorRef& y, double eps, Eigen::Index rows) {
  const Eigen::Index n = y.size(), k = X.cols();
  if (k < screen_path().min_columns || k > kMaxColumns || rows < kMinRows) return;
  if (!(eps >= kMinEps && eps <= kMaxMagnitude)) return;
  const Eigen::Index ld = screen_ld(rows);
  AlignedArray<float> copy(static_cast<std::size_t>(
      checked_elements(ld, k + 1, sizeof(float), "the search's single-precision copy of X")));
  std::vector<RowState> state(static_cast<std::size_t>(n), kInRange);
  std::vector<double> sumsq(static_cast<std::size_t>(n), 0.0);
  float* out = copy.data();
  for (Eigen::Index j = 0; j < k; ++j)
    for (Eigen::Index i = 0; i < n; ++i) out[j * ld + i] = take(X(i, j), state[i], sumsq[i]);
  float* yr = out + k * ld;
  std::fill(yr + n, yr + ld, std::numeric_limits<float>::quiet_NaN());
  const auto blocks = static_cast<std::size_t>(rows / kBlockRows);
  std::vector<double> norm(blocks, 0.0), yterm(blocks, 0.0);
  const double floor_term = static_cast<double>(k + 1) * 0x1p-96;
  Eigen::Index wide = 0;
  for (Eigen::Index i = 0; i < n; ++i) {
    double unused = 0.0;
    const float yi = take(y(i), state[i], unused);
    const auto blk = static_cast<std::size_t>(i / kBlockRows);
    if (state[i] == kInRange) {
      yr[i] = yi;
      norm[blk] = std::max(norm[blk], std::sqrt(sumsq[i]) * kRoundUp);
      yterm[blk] = std::max(yterm[blk], kSafety * (kUnit32 * std::abs(y(i)) + floor_term));
    } else if (state[i] == kWide) {
      yterm[blk] = std::numeric_limits<double>::infinity();  // never decided
      ++wide;
    } else {
      yr[i] = std::numeric_limits<float>::quiet_NaN();  // always a miss
    }
  }
  if (wide > n / kWideRowShare) return;
  data_ = std::move(copy);
  block_norm_ = std::move(norm);
  block_yterm_ = std::move(yterm);
  k_ = k;
  ld_ = ld;
  eps_lo_ = eps * (1.0 - kEpsSlack);
  eps_hi_ = eps * (1.0 + kEpsSlack);
  norm_factor_ = kSafety * (rounding_gamma(k + 2, kUnit32) + rounding_gamma(k, kUnit64)) * kRoundUp;
}

int HitScreen::shared() const { return screen_path().shared; }

int HitScreen::count(const double* const* b, int nb, Eigen::Index r0, Eigen::Index len,
                     std::int64_t* hits, RowSpan* spans, int capacity) const {
  // Outside its contract it decides nothing rather than drop rows.
  if (r0 % kBlockRows != 0 || len % kBlockRows != 0 || nb < 1 || nb > shared()) return -1;
  float bf[kMaxShared][kMaxColumns];  // b rounded to single precision
  const float* bp[kMaxShared];
  double largest = 0.0;  // largest |b|_2
  for (int v = 0; v < nb; ++v) {
    double sumsq = 0.0;
    for (Eigen::Index j = 0; j < k_; ++j) {
      const double x = b[v][j];
      if (!(std::abs(x) <= kMaxMagnitude)) return -1;  // beyond the bound: counted exactly
      sumsq += x * x;
      bf[v][j] = static_cast<float>(x);
    }
    largest = std::max(largest, std::sqrt(sumsq));
    bp[v] = bf[v];
  }
  const ScreenTerms t{block_norm_.data() + r0 / kBlockRows, block_yterm_.data() + r0 / kBlockRows,
                      norm_factor_ * largest, eps_lo_, eps_hi_};
  const int m = screen_path().kernel[nb - 1](column(0) + r0, ld_, k_, bp, t, len, hits, spans,
                                             capacity);
  for (int s = 0; s < m; ++s) spans[s].r0 += r0;
  return m;
}

}  // namespace qorv
