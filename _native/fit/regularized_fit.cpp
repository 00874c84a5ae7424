#include "fit/regularized_fit.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/isa.hpp"
#include "common/size_guard.hpp"
#include "common/row_chunks.hpp"
#include "fit/mdl_score.hpp"

namespace qorv {
namespace {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

// Gram matrix of the augmented design C = [Phi y] (n by P, P = M + 1),
// lower triangle only: G(i, j) = sum_r C(r, i) C(r, j) for i >= j, so that
// the first M rows give Phi^T Phi and row M gives (Phi^T y)^T in the same
// pass over the data.
//
// Every entry has one fixed summation order, whatever tile, thread or
// machine computes it: the rows are cut into chunks of whole row blocks
// (a function of n and P only); within a block, one sum takes the even and
// another the odd rows of its leading even count, in order from 0.0, and a
// last odd row is added separately; the block's value is (even + odd) + that
// row; a chunk sums its blocks in order starting from 0.0; G sums the chunks
// in order starting from 0.0. Every product is added to its sum as one fused
// multiply-add, on every instruction-set path: half the instructions of a
// multiply and an add, and rounded once.
//
// A block is packed in panels of kPad columns (y as column M, zero
// padding to a whole panel): panel p holds C(r, kPad p .. kPad p + kPad - 1)
// row after row, S rows apart from the next panel. A tile of entries
// G(i0 .. i0 + TW - 1, j0 .. j0 + TJ - 1) takes each row's C(r, j) as a
// scalar and its C(r, i0 ..) as a vector, both from panels read front to
// back, one cache line per row: the tile is vectorised across i, each lane
// doing exactly one entry's scalar sums. The instruction set only chooses
// the tile shape.
constexpr Index kPad = 8;  // panel width: a multiple of every TW and TJ

// Where row 0 of column c lies in a block packed with panels of S rows.
inline Index panel_offset(Index S, Index c) { return (c / kPad) * S * kPad + c % kPad; }

// The tiles are written with the lanes of common/isa.hpp (not with arrays
// that the compiler may vectorise its own way), so every lane is one
// entry's scalar arithmetic.

// acc += a * x lane by lane, each lane one fused multiply-add. The wide
// versions carry their instruction set; they are inlined into the kernels
// below, which are flattened for that reason.
#if defined(QORV_WIDE_KERNELS)
__attribute__((target("avx512f"))) inline void fma_acc(lane8& acc, double a, const lane8& x) {
  acc = _mm512_fmadd_pd(_mm512_set1_pd(a), x, acc);
}
__attribute__((target("avx2,fma"))) inline void fma_acc(lane4& acc, double a, const lane4& x) {
  acc = _mm256_fmadd_pd(_mm256_set1_pd(a), x, acc);
}
#endif
inline __attribute__((always_inline)) void fma_acc(lane2& acc, double a, const lane2& x) {
  acc[0] = std::fma(a, x[0], acc[0]);
  acc[1] = std::fma(a, x[1], acc[1]);
}

// Adds the block value of every lower-triangle entry of the tile
// G(i0 .. i0 + NV L - 1, j0 .. j0 + TJ - 1), L doubles per vector V, to G
// (P by P, leading dimension P). B holds `len` rows packed in panels of S.
template <class V, int TJ, int NV>
inline __attribute__((always_inline)) void packed_tile(
    const double* B, Index S, Index len, Index P, Index i0, Index j0, double* G) {
  constexpr int L = sizeof(V) / sizeof(double);
  const double* xs = B + panel_offset(S, i0);
  const double* as = B + panel_offset(S, j0);
  V ev[TJ][NV], od[TJ][NV];
  for (int q = 0; q < TJ; ++q)
    for (int v = 0; v < NV; ++v) ev[q][v] = od[q][v] = V{};
  Index k = 0;
  for (; k + 2 <= len; k += 2) {
    const double* x0p = xs + k * kPad;
    const double* a0p = as + k * kPad;
    V x0[NV], x1[NV];
    for (int v = 0; v < NV; ++v) {
      load_lanes(x0[v], x0p + v * L);
      load_lanes(x1[v], x0p + kPad + v * L);
    }
    for (int q = 0; q < TJ; ++q) {
      const double a0 = a0p[q], a1 = a0p[kPad + q];
      for (int v = 0; v < NV; ++v) {
        fma_acc(ev[q][v], a0, x0[v]);
        fma_acc(od[q][v], a1, x1[v]);
      }
    }
  }
  // The last odd row: its values at i0 + l and at j0 + q.
  const double* last_x = k < len ? xs + k * kPad : nullptr;
  const double* last_a = k < len ? as + k * kPad : nullptr;
  // A tile wholly inside the lower triangle adds its lanes as vectors: the
  // same operations per entry as the masked loop below, a tenth of the
  // instructions.
  if (i0 >= j0 + TJ - 1 && i0 + NV * L <= P && j0 + TJ <= P) {
    for (int q = 0; q < TJ; ++q) {
      double* g = G + i0 + (j0 + q) * P;
      for (int v = 0; v < NV; ++v) {
        V val = ev[q][v] + od[q][v];
        if (last_x != nullptr) {
          V x;
          load_lanes(x, last_x + v * L);
          fma_acc(val, last_a[q], x);
        }
        V gv;
        load_lanes(gv, g + v * L);
        gv = gv + val;
        std::memcpy(g + v * L, &gv, sizeof gv);
      }
    }
    return;
  }
  for (int q = 0; q < TJ; ++q) {
    const Index j = j0 + q;
    double e[NV * L], o[NV * L];
    std::memcpy(e, ev[q], sizeof e);
    std::memcpy(o, od[q], sizeof o);
    for (int l = 0; l < NV * L; ++l) {
      const Index i = i0 + l;
      if (i < j || i >= P || j >= P) continue;
      double val = e[l] + o[l];
      if (last_x != nullptr) val = std::fma(last_x[l], last_a[q], val);
      G[i + j * P] += val;
    }
  }
}

// One packed block into G: the lower-triangle tiles, column panels outside.
template <class V, int TJ, int NV>
inline __attribute__((always_inline)) void packed_block(
    const double* B, Index S, Index len, Index P, double* G) {
  constexpr Index TW = NV * static_cast<Index>(sizeof(V) / sizeof(double));
  for (Index j0 = 0; j0 < P; j0 += TJ)
    for (Index i0 = j0 / TW * TW; i0 < P; i0 += TW)
      packed_tile<V, TJ, NV>(B, S, len, P, i0, j0, G);
}

// Tile shapes that keep the sums in registers: 16 of 32 (AVX-512), 8 of 16
// (AVX2, SSE2) vector registers.
#if defined(QORV_WIDE_KERNELS)
__attribute__((target("avx512f"), flatten))
void block_avx512(const double* B, Index S, Index len, Index P, double* G) {
  packed_block<lane8, 8, 1>(B, S, len, P, G);
}
__attribute__((target("avx2,fma"), flatten))
void block_avx2(const double* B, Index S, Index len, Index P, double* G) {
  packed_block<lane4, 4, 1>(B, S, len, P, G);
}
#endif
void block_sse2(const double* B, Index S, Index len, Index P, double* G) {
  packed_block<lane2, 2, 2>(B, S, len, P, G);
}

using BlockKernel = void (*)(const double*, Index, Index, Index, double*);

BlockKernel block_kernel() {
  static const BlockKernel k = []() -> BlockKernel {
#if defined(QORV_WIDE_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return &block_avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return &block_avx2;
#endif
    return &block_sse2;
  }();
  return k;
}

// Rows [r0, r0 + len) of [Phi y] into B, in panels of S >= len rows; the
// padding columns are never written (the scratch starts zeroed).
void pack_block(const MatrixView& Phi, const VectorRef& y, Index r0, Index len,
                double* B, Index S) {
  const Index M = Phi.cols(), is = Phi.innerStride(), os = Phi.outerStride();
  const auto dst = [&](Index c) { return B + panel_offset(S, c); };
  if (is == 1) {
    // Column by column: each source column is read in order, and its
    // destination is one lane of a panel.
    for (Index c = 0; c < M; ++c) {
      const double* src = Phi.data() + c * os + r0;
      double* d = dst(c);
      for (Index i = 0; i < len; ++i) d[i * kPad] = src[i];
    }
  } else {
    // Panel by panel: each row's run of up to kPad values is one line of
    // the panel.
    for (Index c0 = 0; c0 < M; c0 += kPad) {
      const Index w = std::min(kPad, M - c0);
      double* d = dst(c0);
      for (Index i = 0; i < len; ++i) {
        const double* src = Phi.data() + (r0 + i) * is + c0 * os;
        double* row = d + i * kPad;
        if (w == kPad && os == 1) {
          std::memcpy(row, src, sizeof(double) * kPad);
        } else {
          for (Index c = 0; c < w; ++c) row[c] = src[c * os];
        }
      }
    }
  }
  const double* ys = y.data() + r0;
  double* d = dst(M);
  for (Index i = 0; i < len; ++i) d[i * kPad] = ys[i];
}

// Rows per block: at most 256 (a packed block stays in L1 and L2), fewer
// when all P columns of a block would exceed about 256 KiB (half of a
// typical L2); a multiple of 16, at least 64. A function of P only, so that
// both memory orders sum in the same order.
Index gram_block_rows(Index P) {
  const Index b = (32768 / P) & ~Index{15};
  return std::max<Index>(64, std::min<Index>(256, b));
}

// Gram of [Phi y] (lower triangle; the upper triangle is left zero), from
// row blocks packed into per-thread scratch whatever Phi's layout.
MatrixXd gram_lower(const MatrixView& Phi, const VectorRef& y) {
  const Index n = Phi.rows(), M = Phi.cols(), P = M + 1;
  const Index W = (P + kPad - 1) / kPad * kPad;
  const Index KB = gram_block_rows(P);
  const Index n_blocks = (n + KB - 1) / KB;
  // The chunk count depends on n and P only: up to 16 chunks, each worth
  // about 2^21 multiply-adds or more (so that a thread is worth waking), and
  // their partial sums together no larger than half the input.
  const Index min_rows = std::max<Index>(KB, (Index{1} << 21) / (P * P));
  const Index n_chunks = std::max<Index>(
      1, std::min<Index>({16, n_blocks, n / min_rows, n / (2 * P)}));
  const Index PP = P * P;
  checked_elements(n_chunks, PP, sizeof(double), "normal-equation partials");
  checked_elements(KB, W, sizeof(double), "normal-equation row block");
  std::vector<double> part(static_cast<std::size_t>(n_chunks * PP), 0.0);
  const BlockKernel kernel = block_kernel();
  const long long work = static_cast<long long>(n) * P * (P + 1) / 2;
  for_each_chunk(n_chunks, static_cast<std::size_t>(KB * W), work, [&](Index c, double* B) {
    const RowRange rows = chunk_rows(c, n_chunks, n, KB);
    for (Index r0 = rows.begin; r0 < rows.end; r0 += KB) {
      const Index len = std::min(KB, n - r0);
      pack_block(Phi, y, r0, len, B, KB);
      kernel(B, KB, len, P, part.data() + c * PP);
    }
  });

  MatrixXd G = MatrixXd::Zero(P, P);
  for (Index c = 0; c < n_chunks; ++c) {
    const double* src = part.data() + c * PP;
    for (Index j = 0; j < P; ++j)
      for (Index i = j; i < P; ++i) G(i, j) += src[i + j * P];
  }
  return G;
}

// A += c * R, lower triangle: the factorisation reads nothing else.
void add_scaled_lower(MatrixXd& A, double c, const MatrixXd& R) {
  const Index M = A.rows();
  for (Index j = 0; j < M; ++j)
    for (Index i = j; i < M; ++i) A(i, j) += c * R(i, j);
}

}  // namespace

VectorXd fit_regularized_linear(const MatrixView& Phi, const VectorRef& y,
                                const MatrixXd* R1, const MatrixXd* R2,
                                double gamma1, double gamma2, double ridge) {
  const Index M = Phi.cols();
  if (y.size() != Phi.rows())
    throw std::invalid_argument("y has " + std::to_string(y.size()) +
                                " entries but Phi has " +
                                std::to_string(Phi.rows()) + " rows");
  const PenaltySpec pen{R1, R2, gamma1, gamma2};
  const bool use1 = pen.term1(), use2 = pen.term2();
  check_penalty_shapes(pen, M, "Phi", "columns");
  if (M == 0) return VectorXd(0);

  const double n = static_cast<double>(y.size());
  const MatrixXd G = gram_lower(Phi, y);
  MatrixXd A = G.topLeftCorner(M, M);
  const VectorXd b = G.row(M).head(M).transpose();
  for (Index i = 0; i < M; ++i) A(i, i) += ridge;
  if (use1) add_scaled_lower(A, n * gamma1, *R1);
  if (use2) add_scaled_lower(A, n * gamma2, *R2);

  // The factorisation would turn a NaN pivot into a zero component and
  // report a finite-looking answer: a non-finite system has no solution.
  bool finite = b.allFinite();
  for (Index j = 0; j < M && finite; ++j)
    finite = A.col(j).tail(M - j).allFinite();
  if (!finite)
    return VectorXd::Constant(M, std::numeric_limits<double>::quiet_NaN());

  const Eigen::LDLT<MatrixXd> ldlt(A);
  return ldlt.solve(b);
}

}  // namespace qorv
