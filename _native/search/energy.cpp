#include "search/energy.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include <omp.h>

#include "common/isa.hpp"
#include "common/size_guard.hpp"
#include "search/block_sums.hpp"

namespace qorv {

namespace {

constexpr int kMaxShared = 3;  // coefficient vectors per pass of a kernel

// Hits of the rows [0, rows), rows a multiple of A W for W-wide vectors V,
// for NB coefficient vectors b[0 .. NB) at once into out[0 .. NB): A W rows
// at a time in A accumulators per vector, their predictions held in
// registers across all k >= 1 columns and counted at once. Each load of X
// serves all NB vectors, and nothing is stored. Every row gets exactly the
// scalar arithmetic of hits_scalar (products rounded, then added in column
// order; never fused), so the vector width and NB change the speed, not
// the bits.
template <class V, int A, int NB>
inline __attribute__((always_inline)) void hits_blocked(
    const double* X, Eigen::Index ld, Eigen::Index k, const double* const* b,
    const double* y, double eps, Eigen::Index rows, std::int64_t* out) {
  using M = decltype(V{} < V{});
  constexpr Eigen::Index W = sizeof(V) / sizeof(double);
  const V e = V{} + eps;
  const M magnitude = M{} + 0x7fffffffffffffffLL;
  M h[NB];
  for (int v = 0; v < NB; ++v) h[v] = M{};
  for (Eigen::Index i = 0; i < rows; i += A * W) {
    V a[NB][A];
    block_sums<V, A, NB>(X + i, ld, k, b, a);
#pragma GCC unroll 16
    for (int r = 0; r < A; ++r) {
      V yr;
      load_lanes(yr, y + i + r * W);
      for (int v = 0; v < NB; ++v) {
        const V d = a[v][r] - yr;
        const V mag = reinterpret_cast<V>(reinterpret_cast<M>(d) & magnitude);
        h[v] -= (mag < e);  // true is -1 in every lane
      }
    }
  }
  for (int v = 0; v < NB; ++v) {
    std::int64_t total = 0;
    for (Eigen::Index l = 0; l < W; ++l) total += h[v][l];
    out[v] = total;
  }
}

using HitsKernel = void (*)(const double*, Eigen::Index, Eigen::Index, const double* const*,
                            const double*, double, Eigen::Index, std::int64_t*);

// Eight-wide on AVX-512 (64 rows a block), four-wide on AVX2 (32 rows),
// each with eight accumulators per vector, enough independent sums to keep
// both adders busy through their latency; four-wide on two SSE2 registers
// each on the baseline, with four (its sixteen registers hold no more).
// On AVX-512 up to three vectors share each load of X (their 24 sums fit in
// its 32 registers): the loads, not the arithmetic, bound one vector alone.
constexpr int kBaseAccumulators = 4;
#if defined(QORV_WIDE_KERNELS)
constexpr int kWideAccumulators = 8;
template <int NB>
__attribute__((target("avx512f,avx512dq"))) void hits_avx512(
    const double* X, Eigen::Index ld, Eigen::Index k, const double* const* b, const double* y,
    double eps, Eigen::Index rows, std::int64_t* out) {
  hits_blocked<lane8, kWideAccumulators, NB>(X, ld, k, b, y, eps, rows, out);
}
template <int NB>
__attribute__((target("avx2"))) void hits_avx2(
    const double* X, Eigen::Index ld, Eigen::Index k, const double* const* b, const double* y,
    double eps, Eigen::Index rows, std::int64_t* out) {
  hits_blocked<lane4, kWideAccumulators, NB>(X, ld, k, b, y, eps, rows, out);
}
#endif
template <int NB>
void hits_base(const double* X, Eigen::Index ld, Eigen::Index k, const double* const* b,
               const double* y, double eps, Eigen::Index rows, std::int64_t* out) {
  hits_blocked<lane4, kBaseAccumulators, NB>(X, ld, k, b, y, eps, rows, out);
}

// kernel[NB - 1] takes NB vectors, for NB up to `shared`, the most that
// one pass takes on this path (the entries above it are never called).
struct HitsPath {
  HitsKernel kernel[kMaxShared];
  int shared;
  Eigen::Index block;  // rows per step of the kernel
};

HitsPath hits_path() {
  static const HitsPath path = []() -> HitsPath {
#if defined(QORV_WIDE_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
      return {{&hits_avx512<1>, &hits_avx512<2>, &hits_avx512<3>}, 3, 8 * kWideAccumulators};
    if (__builtin_cpu_supports("avx2"))
      return {{&hits_avx2<1>, nullptr, nullptr}, 1, 4 * kWideAccumulators};
#endif
    return {{&hits_base<1>, nullptr, nullptr}, 1, 4 * kBaseAccumulators};
  }();
  return path;
}

// Hits of the rows [i0, rows) one at a time (X with leading dimension ld):
// prediction sum_j X(i, j) b_j in column order, the first product taken as
// it is.
std::int64_t hits_scalar(const double* X, Eigen::Index ld, Eigen::Index rows,
                         Eigen::Index k, const double* b, const double* y, double eps,
                         Eigen::Index i0) {
  std::int64_t h = 0;
  for (Eigen::Index i = i0; i < rows; ++i) {
    double acc = 0.0;
    if (k > 0) {
      acc = X[i] * b[0];
      for (Eigen::Index j = 1; j < k; ++j) acc = acc + X[j * ld + i] * b[j];
    }
    h += std::abs(acc - y[i]) < eps;
  }
  return h;
}

// Adds the hits of the rows [0, rows) of X (leading dimension ld, k >= 0
// columns) for the `count` vectors b[0 .. count) to out[0 .. count), as
// many vectors per pass over the rows as the path shares.
void add_hits_of_rows(const double* X, Eigen::Index ld, Eigen::Index rows, Eigen::Index k,
                      const double* const* b, Eigen::Index count, const double* y,
                      double eps, std::int64_t* out) {
  Eigen::Index i = 0;
  if (k > 0) {
    const HitsPath path = hits_path();
    i = rows - rows % path.block;
    std::int64_t h[kMaxShared];
    for (Eigen::Index c = 0; c < count;) {
      const int nb = static_cast<int>(std::min<Eigen::Index>(path.shared, count - c));
      path.kernel[nb - 1](X, ld, k, b + c, y, eps, i, h);
      for (int v = 0; v < nb; ++v) out[c + v] += h[v];
      c += nb;
    }
  }
  for (Eigen::Index c = 0; c < count; ++c)
    out[c] += hits_scalar(X, ld, rows, k, b[c], y, eps, i);
}

// Rows of X per tile of the batched evaluation: its k columns (at most
// kTileDoubles values, 16 KiB, half of the smallest L1 we run on, so that
// y's rows and the coefficients fit beside them) stay in L1 while every
// vector uses them. A multiple of every kernel's block, as the counted rows
// are, so no tile has a scalar tail.
constexpr Eigen::Index kTileDoubles = 2048;
constexpr Eigen::Index kTileQuantum = 64;

Eigen::Index tile_rows(Eigen::Index k) {
  const Eigen::Index rows = kTileDoubles / std::max<Eigen::Index>(k, 1);
  return std::max(kTileQuantum, rows / kTileQuantum * kTileQuantum);
}

// Rows per tile of the screen: its k float columns (about kScreenTileFloats
// values, 64 KiB, for k up to 128) stay in L2 while every group of vectors
// uses them; a group of vectors already shares each load of X in
// registers, so L1 residence gains nothing over the screen's call cost.
constexpr Eigen::Index kScreenTileFloats = 16384;
constexpr Eigen::Index kScreenQuantum = 2 * kTileQuantum;  // the screen's widest block

Eigen::Index screen_tile_rows(Eigen::Index k) {
  const Eigen::Index rows = kScreenTileFloats / std::max<Eigen::Index>(k, 1);
  return std::max(kScreenQuantum, rows / kScreenQuantum * kScreenQuantum);
}

// Undecided blocks per screened tile past which the whole tile is counted
// exactly: recounting that many blocks costs as much.
constexpr int kMaxUndecided = 8;

// After its first kScreenTrialRows screened rows (vector by vector group)
// the screen is given up for good once more than one row in kScreenGiveUp
// had to be counted again (targets far larger than the tolerance, say,
// leave every row undecided): each such row costs its screening on top of
// the exact count.
constexpr std::int64_t kScreenTrialRows = std::int64_t{1} << 18;
constexpr std::int64_t kScreenGiveUp = 4;

// Rows the kernels count: n rounded up to whole tile quanta. The copy's
// extra rows hold X = 0 and y = NaN, and |prediction - NaN| < eps is false,
// so they never count as hits, and no row is left to a scalar tail.
Eigen::Index counted_rows(Eigen::Index n) {
  return (n + kTileQuantum - 1) / kTileQuantum * kTileQuantum;
}

// Leading dimension of the copy: the counted rows, and never a multiple of
// 4 KiB, at which every column of a tile would fall into the same L1 sets.
Eigen::Index padded_rows(Eigen::Index n) {
  constexpr Eigen::Index page = 4096 / sizeof(double);
  const Eigen::Index rows = counted_rows(n);
  return rows % page == 0 ? rows + kTileQuantum : rows;
}

}  // namespace

Energy::Energy(const MatrixView& X, const VectorRef& y, int H, double eps,
               const PenaltySpec& pen)
    : n_(y.size()), k_(X.cols()), rows_(counted_rows(y.size())), ld_(padded_rows(y.size())),
      screen_(X, y, eps, rows_),
      data_(static_cast<std::size_t>(
          checked_elements(ld_, k_ + 1, sizeof(double), "the search's copy of X and y"))),
      eps_(eps), pen_(pen),
      model_term_(mdl_model_term(y.size(), static_cast<int>(X.cols()), H)) {
  for (Eigen::Index j = 0; j < k_; ++j)
    Eigen::Map<Eigen::VectorXd>(data_.data() + j * ld_, n_) = X.col(j);
  Eigen::Map<Eigen::VectorXd>(data_.data() + k_ * ld_, n_) = y;
  std::fill(data_.data() + k_ * ld_ + n_, data_.data() + (k_ + 1) * ld_,
            std::numeric_limits<double>::quiet_NaN());
  const std::int64_t n = n_, k = k_;
  const std::int64_t terms = (pen.term1() ? 1 : 0) + (pen.term2() ? 1 : 0);
  // A screened product takes half the instructions of a double one.
  const std::int64_t products = n * std::max<std::int64_t>(k, 1) / (screen_.active() ? 2 : 1);
  work_ = products + n + terms * k * k + kStepOverhead;
}

void Energy::add_tile_hits(const double* const* b, Eigen::Index nb, Eigen::Index r0,
                           Eigen::Index len, std::int64_t* out, bool screen,
                           ScreenTally& tally) const {
  const auto exact = [&](const double* const* bs, Eigen::Index m, Eigen::Index i0,
                         Eigen::Index rows, std::int64_t* to) {
    add_hits_of_rows(column(0) + i0, ld_, rows, k_, bs, m, column(k_) + i0, eps_, to);
  };
  if (!screen) return exact(b, nb, r0, len, out);
  const int shared = screen_.shared();
  for (Eigen::Index c = 0; c < nb; c += shared) {
    const int m = static_cast<int>(std::min<Eigen::Index>(shared, nb - c));
    std::int64_t h[kMaxShared];
    RowSpan spans[kMaxUndecided];
    const int undecided = screen_.count(b + c, m, r0, len, h, spans, kMaxUndecided);
    tally.rows += len;
    if (undecided < 0) {
      tally.recounted += len;
      exact(b + c, m, r0, len, out + c);
      continue;
    }
    for (int v = 0; v < m; ++v) out[c + v] += h[v];
    for (int s = 0; s < undecided; ++s) {
      tally.recounted += spans[s].len;
      exact(b + c, m, spans[s].r0, spans[s].len, out + c);
    }
  }
}

bool Energy::screening() const {
  if (!screen_.active()) return false;
  const std::int64_t rows = screen_rows_.load(std::memory_order_relaxed);
  return rows < kScreenTrialRows ||
         kScreenGiveUp * screen_recounted_.load(std::memory_order_relaxed) <= rows;
}

void Energy::record(const ScreenTally& tally) const {
  if (tally.rows == 0) return;
  screen_rows_.fetch_add(tally.rows, std::memory_order_relaxed);
  screen_recounted_.fetch_add(tally.recounted, std::memory_order_relaxed);
}

Eigen::Index Energy::tile(bool screen) const {
  return screen ? screen_tile_rows(k_) : tile_rows(k_);
}

double Energy::operator()(const Eigen::VectorXd& b, double* work) const {
  const double* bp = b.data();
  std::int64_t hits = 0;
  const bool screen = screening();
  // One vector gains nothing from the exact count's L1 tiles.
  const Eigen::Index tile = screen ? this->tile(true) : rows_;
  ScreenTally tally;
  for (Eigen::Index r0 = 0; r0 < rows_; r0 += tile)
    add_tile_hits(&bp, 1, r0, std::min(tile, rows_ - r0), &hits, screen, tally);
  record(tally);
  double L = mdl_data_term(hits, n_) + model_term_;
  if (pen_.active()) L = mdl_add_penalties(L, b, pen_, work);
  return L;
}

void Energy::operator()(const std::vector<Eigen::VectorXd>& b, double* energies,
                        std::int64_t* hits, double* work) const {
  (*this)(b, energies, hits, work, 1);
}

void Energy::operator()(const std::vector<Eigen::VectorXd>& b, double* energies,
                        std::int64_t* hits, double* work, int threads) const {
  const Eigen::Index rows = rows_;
  const auto count = static_cast<Eigen::Index>(b.size());
  const bool screen = screening();
  const Eigen::Index tile = this->tile(screen);
  // Hits of the rows [i0, i1) into out[0..count), a tile at a time.
  const auto count_rows = [&](Eigen::Index i0, Eigen::Index i1, std::int64_t* out) {
    std::fill(out, out + count, std::int64_t{0});
    ScreenTally tally;
    for (Eigen::Index r0 = i0; r0 < i1; r0 += tile) {
      // Each tile is a matrix of len rows with leading dimension ld_.
      const Eigen::Index len = std::min(tile, i1 - r0);
      for (Eigen::Index c = 0; c < count; c += kMaxShared) {
        const Eigen::Index nb = std::min<Eigen::Index>(kMaxShared, count - c);
        const double* bp[kMaxShared];
        for (Eigen::Index v = 0; v < nb; ++v) bp[v] = b[static_cast<std::size_t>(c + v)].data();
        add_tile_hits(bp, nb, r0, len, out + c, screen, tally);
      }
    }
    record(tally);
  };
  if (threads <= 1) {
    count_rows(0, rows, hits);  // no region at all: a step may take a microsecond
  } else {
    const Eigen::Index quanta = rows / kTileQuantum;
    const auto stride = static_cast<Eigen::Index>(hits_stride(b.size()));
    std::fill(hits, hits + threads * stride, std::int64_t{0});
#pragma omp parallel num_threads(threads)
    {
      // Thread t counts the t-th contiguous run of rows into its own row of
      // counters, in whole quanta so that every tile stays whole blocks.
      const Eigen::Index t = omp_get_thread_num(), team = omp_get_num_threads();
      count_rows(quanta * t / team * kTileQuantum, quanta * (t + 1) / team * kTileQuantum,
                 hits + t * stride);
    }
    for (Eigen::Index t = 1; t < threads; ++t)
      for (Eigen::Index c = 0; c < count; ++c) hits[c] += hits[t * stride + c];
  }
  for (Eigen::Index c = 0; c < count; ++c) {
    double L = mdl_data_term(hits[c], n_) + model_term_;
    if (pen_.active()) L = mdl_add_penalties(L, b[static_cast<std::size_t>(c)], pen_, work);
    energies[c] = L;
  }
}

}  // namespace qorv
