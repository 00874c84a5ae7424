#include "fit/regularized_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/lanes.hpp"
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
// (a function of n and P only); within a block, lane 0 sums the even and
// lane 1 the odd rows of its leading even count, a last odd row is added
// separately; the block's value is (lane 0 + lane 1) + that row; a chunk sums
// its blocks in order starting from 0.0; G sums the chunks in order starting
// from 0.0.
constexpr int kTileI = 4;  // output rows per micro tile
constexpr int kTileJ = 2;  // output columns per micro tile

// Adds the block value of every lower-triangle entry of the TI by TJ tile at
// (i0, j0) to G. 4 x 2 lane pairs and 6 streams fit the 16 registers of
// SSE2.
template <int TI, int TJ>
void tile(const double* const* col, Index i0, Index j0, Index r0, Index len,
          double* G, Index ldg) {
  const double* a[TI];
  const double* b[TJ];
  for (int p = 0; p < TI; ++p) a[p] = col[i0 + p] + r0;
  for (int q = 0; q < TJ; ++q) b[q] = col[j0 + q] + r0;
  lane2 acc[TI][TJ];
  for (int p = 0; p < TI; ++p)
    for (int q = 0; q < TJ; ++q) acc[p][q] = lane2_zero();
  Index k = 0;
  for (; k + 2 <= len; k += 2) {
    lane2 av[TI], bv[TJ];
    for (int p = 0; p < TI; ++p) av[p] = load2(a[p] + k);
    for (int q = 0; q < TJ; ++q) bv[q] = load2(b[q] + k);
    for (int p = 0; p < TI; ++p)
      for (int q = 0; q < TJ; ++q) acc[p][q] += av[p] * bv[q];
  }
  for (int p = 0; p < TI; ++p)
    for (int q = 0; q < TJ; ++q) {
      if (i0 + p < j0 + q) continue;  // upper triangle of a diagonal tile
      double v = acc[p][q][0] + acc[p][q][1];
      if (k < len) v += a[p][k] * b[q][k];
      G[(i0 + p) + (j0 + q) * ldg] += v;
    }
}

template <int TJ>
void tile_rows(int ti, const double* const* col, Index i0, Index j0, Index r0,
               Index len, double* G, Index ldg) {
  switch (ti) {
    case 4: tile<4, TJ>(col, i0, j0, r0, len, G, ldg); break;
    case 3: tile<3, TJ>(col, i0, j0, r0, len, G, ldg); break;
    case 2: tile<2, TJ>(col, i0, j0, r0, len, G, ldg); break;
    default: tile<1, TJ>(col, i0, j0, r0, len, G, ldg); break;
  }
}

// One row block [r0, r0 + len) into G (P by P, leading dimension P). Column
// panels of kTileJ outside, so that the two panel columns stay in L1 while
// the tiles below them stream through.
void block_update(const double* const* col, Index P, Index r0, Index len,
                  double* G) {
  for (Index j0 = 0; j0 < P; j0 += kTileJ) {
    const int tj = static_cast<int>(std::min<Index>(kTileJ, P - j0));
    for (Index i0 = j0; i0 < P; i0 += kTileI) {
      const int ti = static_cast<int>(std::min<Index>(kTileI, P - i0));
      if (tj == 2)
        tile_rows<2>(ti, col, i0, j0, r0, len, G, P);
      else
        tile_rows<1>(ti, col, i0, j0, r0, len, G, P);
    }
  }
}

// Rows per block: at most 256 (a gathered block of a row-major design stays
// in L1 and L2), fewer when all P columns of a block would exceed about
// 256 KiB (half of a typical L2); a multiple of 16, at least 64. A function
// of P only, so that both memory orders sum in the same order.
Index gram_block_rows(Index P) {
  const Index b = (32768 / P) & ~Index{15};
  return std::max<Index>(64, std::min<Index>(256, b));
}

// Gram of [Phi y] (lower triangle; the upper triangle is left zero). A Phi
// whose columns are not contiguous (NumPy's row-major layout, a strided
// slice) is gathered a row block at a time into a column-major buffer and
// then takes exactly the path of a contiguous one.
MatrixXd gram_lower(const MatrixView& Phi, const VectorRef& y) {
  const Index n = Phi.rows(), M = Phi.cols(), P = M + 1;
  const Index is = Phi.innerStride(), os = Phi.outerStride();
  const bool contiguous = is == 1;
  std::vector<const double*> col(static_cast<std::size_t>(P));
  for (Index c = 0; c < M; ++c) col[c] = Phi.data() + c * os;
  col[M] = y.data();

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
  std::vector<double> part(static_cast<std::size_t>(n_chunks * PP), 0.0);
  // A design whose columns are not contiguous is gathered into per-thread
  // scratch of one row block.
  const std::size_t scratch = contiguous ? 0 : static_cast<std::size_t>(KB * M);
  for_each_chunk(n_chunks, scratch, [&](Index c, double* block) {
    std::vector<const double*> bcol(contiguous ? 0 : static_cast<std::size_t>(P));
    for (Index j = 0; j < M && !contiguous; ++j) bcol[j] = block + j * KB;
    const RowRange rows = chunk_rows(c, n_chunks, n, KB);
    for (Index r0 = rows.begin; r0 < rows.end; r0 += KB) {
      const Index len = std::min(KB, n - r0);
      if (contiguous) {
        block_update(col.data(), P, r0, len, part.data() + c * PP);
        continue;
      }
      gather_rows(Phi.data() + r0 * is, is, os, len, M, block, KB);
      bcol[M] = y.data() + r0;
      block_update(bcol.data(), P, 0, len, part.data() + c * PP);
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
