#include "fit/ols.hpp"

#include <Eigen/SVD>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/dense_ref.hpp"
#include "common/lanes.hpp"
#include "common/size_guard.hpp"
#include "common/row_chunks.hpp"

namespace qorv {
namespace {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

constexpr int kLanes = 4;  // partial maxima per scan

// Largest magnitude seen and whether every value was finite.
struct Extent {
  double max_abs = 0.0;
  bool finite = true;
  void merge(const Extent& o) {
    max_abs = std::max(max_abs, o.max_abs);
    finite = finite && o.finite;
  }
};

// Measures src[0, len) and, when dst is given, copies it there. A non-finite
// value turns x * 0.0 into NaN, which no sum of zeros can hide.
template <bool Copy>
Extent measure(const double* src, double* dst, Index len) {
  double mx[kLanes] = {0.0, 0.0, 0.0, 0.0};
  double nz[kLanes] = {0.0, 0.0, 0.0, 0.0};
  Index i = 0;
  for (; i + kLanes <= len; i += kLanes) {
    for (int l = 0; l < kLanes; ++l) {
      const double x = src[i + l];
      if (Copy) dst[i + l] = x;
      mx[l] = std::max(mx[l], std::abs(x));
      nz[l] += x * 0.0;
    }
  }
  double tail = 0.0;
  for (; i < len; ++i) {
    const double x = src[i];
    if (Copy) dst[i] = x;
    mx[0] = std::max(mx[0], std::abs(x));
    tail += x * 0.0;
  }
  Extent e;
  e.max_abs = std::max(std::max(mx[0], mx[1]), std::max(mx[2], mx[3]));
  e.finite = ((nz[0] + nz[1]) + (nz[2] + nz[3])) + tail == 0.0;
  return e;
}

// Magnitudes whose squares, summed over any realistic number of rows, neither
// overflow nor underflow; data outside is first scaled by a power of two,
// which is exact and changes the result only by the inverse power.
bool comfortable(double max_abs) {
  return max_abs == 0.0 ||
         (max_abs >= std::ldexp(1.0, -400) && max_abs <= std::ldexp(1.0, 400));
}

// Power of two that brings max_abs into [1, 2); 0 when no scaling is needed.
int scale_exponent(double max_abs) {
  return comfortable(max_abs) ? 0 : std::ilogb(max_abs);
}

void copy_scaled(const double* src, double* dst, Index len, int shift) {
  for (Index i = 0; i < len; ++i) dst[i] = std::scalbn(src[i], shift);
}

// Sums of products over i < len in four lanes: lanes (0, 1) take the pairs
// at i = 0 (mod 4), lanes (2, 3) those at i = 2 (mod 4), over the leading
// multiple of 4; the rest is summed in order. The two pairs are added, then
// their lanes, then the tail.
inline double finish(lane2 lo, lane2 hi, double tail) {
  const lane2 s = lo + hi;
  return (s[0] + s[1]) + tail;
}

double sum_squares(const double* v, Index len) {
  lane2 lo = lane2_zero(), hi = lane2_zero();
  Index i = 0;
  for (; i + 4 <= len; i += 4) {
    const lane2 a = load2(v + i), b = load2(v + i + 2);
    lo += a * a;
    hi += b * b;
  }
  double tail = 0.0;
  for (; i < len; ++i) tail += v[i] * v[i];
  return finish(lo, hi, tail);
}

// d_c = v . w_c for NC columns at once (v is read once for all of them);
// each column's sum has exactly the single-column arithmetic.
template <int NC>
void dots(const double* v, const double* const (&w)[NC], Index len,
          double (&d)[NC]) {
  lane2 lo[NC], hi[NC];
  for (int c = 0; c < NC; ++c) lo[c] = hi[c] = lane2_zero();
  Index i = 0;
  for (; i + 4 <= len; i += 4) {
    const lane2 a = load2(v + i), b = load2(v + i + 2);
    for (int c = 0; c < NC; ++c) {
      lo[c] += a * load2(w[c] + i);
      hi[c] += b * load2(w[c] + i + 2);
    }
  }
  for (int c = 0; c < NC; ++c) {
    double tail = 0.0;
    for (Index k = i; k < len; ++k) tail += v[k] * w[c][k];
    d[c] = finish(lo[c], hi[c], tail);
  }
}

// w_c -= s_c * v for NC columns at once.
template <int NC>
void axpys(const double* v, double* const (&w)[NC], Index len,
           const double (&s)[NC]) {
  lane2 sv[NC];
  for (int c = 0; c < NC; ++c) sv[c] = lane2_splat(s[c]);
  Index i = 0;
  for (; i + 2 <= len; i += 2) {
    const lane2 a = load2(v + i);
    for (int c = 0; c < NC; ++c) store2(w[c] + i, load2(w[c] + i) - sv[c] * a);
  }
  for (; i < len; ++i)
    for (int c = 0; c < NC; ++c) w[c][i] -= s[c] * v[i];
}

// Applies reflector j to columns k .. k + NC - 1 of the stacked [T; W].
template <int NC>
void reflect_columns(double* T, Index M, double* W, Index ldw, Index rows,
                     Index j, Index k, const double* v, double tau) {
  const double* wc[NC];
  double* wm[NC];
  for (int c = 0; c < NC; ++c) {
    wm[c] = W + (k + c) * ldw;
    wc[c] = wm[c];
  }
  double d[NC];
  dots<NC>(v, wc, rows, d);
  for (int c = 0; c < NC; ++c) {
    double& t = T[j + (k + c) * M];
    d[c] = tau * (t + d[c]);
    t -= d[c];
  }
  axpys<NC>(v, wm, rows, d);
}

// Householder QR of the stack [T; W], kept in T. T is M by (M + 1), column
// major with leading dimension M, upper triangular in its first M columns
// (the triangular factor) with the transformed target in column M. W holds
// `rows` further rows of the same M + 1 columns (leading dimension ldw) and
// is overwritten. Only the M columns of the design get a reflector; the
// target column is carried along, which is Q^T y without ever forming Q.
// What the reflectors leave in W is orthogonal to the solution and dropped.
void householder_update(double* T, Index M, double* W, Index ldw, Index rows) {
  for (Index j = 0; j < M; ++j) {
    double* v = W + j * ldw;
    const double s = sum_squares(v, rows);
    if (s == 0.0) continue;  // nothing below the pivot: the identity
    double& a = T[j + j * M];
    double beta = std::sqrt(a * a + s);
    if (a >= 0.0) beta = -beta;  // a - beta never cancels
    const double tau = (beta - a) / beta;
    const double inv = 1.0 / (a - beta);
    for (Index i = 0; i < rows; ++i) v[i] *= inv;
    a = beta;
    Index k = j + 1;
    for (; k + 2 <= M + 1; k += 2)
      reflect_columns<2>(T, M, W, ldw, rows, j, k, v, tau);
    if (k <= M) reflect_columns<1>(T, M, W, ldw, rows, j, k, v, tau);
  }
}

// Row blocks small enough that a block of all M + 1 columns stays in L1
// (24 KiB), a power of two between 32 and 1024 rows.
Index block_rows(Index M) {
  Index b = 1024;
  while (b > 32 && b * (M + 1) * static_cast<Index>(sizeof(double)) > 24576)
    b /= 2;
  return b;
}

// Number of chunks of consecutive row blocks: up to 16, each of 8 blocks or
// more and worth about 2^22 multiply-adds or more (so that a thread is worth
// waking). It depends on n and M only, never on the thread count, so every
// thread count gives the same bits.
Index chunk_count(Index n, Index M, Index n_blocks) {
  const Index work = n * (M + 1) * (M + 1);
  return std::max<Index>(
      1, std::min<Index>({16, n_blocks / 8, work >> 22}));
}

// One chunk's triangle [R | Q^T y], built from zero by row-block updates.
struct ChunkJob {
  const MatrixView* X;
  const VectorRef* y;
  Index B;
  bool scaled;
  int shift_x, shift_y;
};

void reduce_chunk(const ChunkJob& job, Index r_begin, Index r_end, double* W,
                  double* T, Extent& ex, Extent& ey) {
  const MatrixView& X = *job.X;
  const Index M = X.cols(), B = job.B;
  const Index is = X.innerStride(), os = X.outerStride();
  std::fill(T, T + M * (M + 1), 0.0);
  for (Index r0 = r_begin; r0 < r_end; r0 += B) {
    const Index len = std::min(B, r_end - r0);
    if (is == 1) {
      for (Index c = 0; c < M; ++c) {
        const double* src = X.data() + c * os + r0;
        if (job.scaled)
          copy_scaled(src, W + c * B, len, job.shift_x);
        else
          ex.merge(measure<true>(src, W + c * B, len));
      }
    } else {
      // Rows are contiguous (or strided): gather the block into the same
      // column-major buffer, so the reflectors see exactly the same data.
      gather_rows(X.data() + r0 * is, is, os, len, M, W, B);
      for (Index c = 0; c < M; ++c) {
        if (job.scaled)
          copy_scaled(W + c * B, W + c * B, len, job.shift_x);
        else
          ex.merge(measure<false>(W + c * B, nullptr, len));
      }
    }
    const double* ys = job.y->data() + r0;
    if (job.scaled)
      copy_scaled(ys, W + M * B, len, job.shift_y);
    else
      ey.merge(measure<true>(ys, W + M * B, len));
    householder_update(T, M, W, B, len);
  }
}

// The triangle of the whole design: chunks in parallel, then combined in
// chunk order. Returns false when the data were not all finite (the
// triangle is then meaningless); ex, ey report the measured extents when
// `scaled` is false.
bool reduce_tall(const ChunkJob& job, MatrixXd& Tout, Extent& ex_out,
                 Extent& ey_out) {
  const Index n = job.X->rows(), M = job.X->cols(), B = job.B;
  const Index n_blocks = (n + B - 1) / B;
  const Index n_chunks = chunk_count(n, M, n_blocks);
  const Index tri = M * (M + 1);
  checked_elements(n_chunks, tri, sizeof(double), "least-squares triangles");
  std::vector<double> tris(static_cast<std::size_t>(n_chunks * tri));
  std::vector<Extent> ex(n_chunks), ey(n_chunks);
  const long long work = static_cast<long long>(n) * (M + 1) * (M + 1);
  for_each_chunk(n_chunks, static_cast<std::size_t>(B * (M + 1)), work, [&](Index c, double* W) {
    const RowRange rows = chunk_rows(c, n_chunks, n, B);
    reduce_chunk(job, rows.begin, rows.end, W, tris.data() + c * tri, ex[c], ey[c]);
  });

  for (Index c = 0; c < n_chunks; ++c) {
    ex_out.merge(ex[c]);
    ey_out.merge(ey[c]);
  }
  if (!ex_out.finite || !ey_out.finite) return false;

  Tout = Eigen::Map<const MatrixXd>(tris.data(), M, M + 1);
  for (Index c = 1; c < n_chunks; ++c)
    householder_update(Tout.data(), M, tris.data() + c * tri, M, M);
  return true;
}

// x = V_r diag(1 / s_i) U_r^T rhs over the singular values at or above
// max(s_max * k * 2^-52, floor).
VectorXd svd_solve(const MatrixRef& A, const VectorRef& rhs, Index k,
                   double floor) {
  const Eigen::BDCSVD<MatrixXd> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
  const VectorXd& s = svd.singularValues();
  const double thr = std::max(
      s(0) * (static_cast<double>(k) * std::numeric_limits<double>::epsilon()),
      floor);
  Index r = s.size();
  while (r > 0 && s(r - 1) < thr) --r;
  VectorXd t = svd.matrixU().leftCols(r).transpose() * rhs;
  for (Index i = 0; i < r; ++i) t(i) /= s(i);
  return svd.matrixV().leftCols(r) * t;
}

// The SVD of X itself, for designs that are not tall.
VectorXd ols_wide(const MatrixXd& X, const VectorRef& y, Index k,
                  const VectorXd& nan_result) {
  const Index n = X.rows(), M = X.cols();
  Extent ex, ey;
  for (Index c = 0; c < M; ++c)
    ex.merge(measure<false>(X.data() + c * n, nullptr, n));
  ey.merge(measure<false>(y.data(), nullptr, n));
  if (!ex.finite || !ey.finite) return nan_result;
  if (ex.max_abs == 0.0) return VectorXd::Zero(M);
  const int sx = scale_exponent(ex.max_abs), sy = scale_exponent(ey.max_abs);
  MatrixXd Xs;
  VectorXd ys;
  if (sx != 0) {
    Xs.resize(n, M);
    for (Index c = 0; c < M; ++c)
      copy_scaled(X.data() + c * n, Xs.data() + c * n, n, -sx);
  }
  if (sy != 0) {
    ys.resize(n);
    copy_scaled(y.data(), ys.data(), n, -sy);
  }
  VectorXd b = svd_solve(sx != 0 ? MatrixRef(Xs) : MatrixRef(X), sy != 0 ? VectorRef(ys) : y, k,
                         std::scalbn(DBL_MIN, -sx));
  if (sy - sx != 0)
    for (Index i = 0; i < M; ++i) b(i) = std::scalbn(b(i), sy - sx);
  return b;
}

}  // namespace

VectorXd ols(const MatrixView& X, const VectorRef& y) {
  const Index n = X.rows(), M = X.cols();
  if (y.size() != n)
    throw std::invalid_argument("y has " + std::to_string(y.size()) +
                                " entries but X has " + std::to_string(n) +
                                " rows");
  // The SVD must never see an empty matrix: the minimum-norm answer is zero.
  if (n == 0 || M == 0) return VectorXd::Zero(M);
  const VectorXd nan_result =
      VectorXd::Constant(M, std::numeric_limits<double>::quiet_NaN());
  const Index k = std::max<Index>(1, std::min(n, M));

  if (n >= 2 * M) {
    // Tall: QR of [X y] by row blocks, then the SVD of the small triangle,
    // which has the singular values of X. First pass unscaled; data of
    // extreme magnitude are rare and take a second, scaled pass.
    ChunkJob job{&X, &y, block_rows(M), false, 0, 0};
    MatrixXd T;
    Extent ex, ey;
    if (!reduce_tall(job, T, ex, ey)) return nan_result;
    const int sx = scale_exponent(ex.max_abs), sy = scale_exponent(ey.max_abs);
    if (sx != 0 || sy != 0) {
      job.scaled = true;
      job.shift_x = -sx;
      job.shift_y = -sy;
      Extent unused_x, unused_y;
      reduce_tall(job, T, unused_x, unused_y);
    }
    if (!T.allFinite()) return nan_result;  // never hand the SVD a NaN
    if (ex.max_abs == 0.0) return VectorXd::Zero(M);
    // The floor DBL_MIN applies to the singular values of X itself.
    VectorXd b = svd_solve(T.leftCols(M), T.col(M), k,
                           std::scalbn(DBL_MIN, -sx));
    if (sy - sx != 0)
      for (Index i = 0; i < M; ++i) b(i) = std::scalbn(b(i), sy - sx);
    return b;
  }

  // Wide or nearly square: the SVD of X itself, from a column-major copy
  // (the decomposition copies its input anyway).
  return ols_wide(MatrixXd(X), y, k, nan_result);
}

}  // namespace qorv
