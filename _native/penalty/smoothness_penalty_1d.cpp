#include "penalty/smoothness_penalty_1d.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "basis/monomial_derivatives.hpp"
#include "common/isa.hpp"
#include "common/size_guard.hpp"
#include "common/threads.hpp"

namespace qorv {

namespace {

using Eigen::Index;

// Every entry R(i, j) is its own sequential sum over the grid in increasing
// g: t = d[i] d[j] rounded, then R(i, j) = fma(t, dx, R(i, j)). Nothing
// else fixes the bits, so the grid is cut into chunks (whose derivative
// rows are tabulated once, in parallel), and within a chunk each tile of
// entries runs through the chunk's rows with its sums in registers,
// vectorised across the rows i of the tile (AVX2 or AVX-512 with fused
// multiply-adds when the processor has them); a tile belongs to one thread.
// The thread count, the tile shape and the instruction set change the speed
// only.
constexpr Index kTileRows = 8;  // entries i0 .. i0 + 7: one or two vectors
constexpr Index kTileCols = 4;  // entries j0 .. j0 + 3

// Tabulated derivative rows of consecutive grid points: row r holds d1 then
// d2, each padded with zeros to a whole number of tiles.
struct DerivTable {
  Index ld;    // doubles per grid point: 2 * padded
  Index padded;
  std::vector<double> v;
};

// The sums of one tile, staged between R and the registers; entries
// outside the M x M matrix are neither read nor written.
struct TileSums {
  double v[kTileCols][kTileRows];
};

TileSums load_tile(const double* R, Index M, Index i0, Index j0) {
  TileSums s{};
  const Index rows = std::min(kTileRows, M - i0), cols = std::min(kTileCols, M - j0);
  for (Index q = 0; q < cols; ++q)
    for (Index l = 0; l < rows; ++l) s.v[q][l] = R[(j0 + q) * M + i0 + l];
  return s;
}

void store_tile(const TileSums& s, double* R, Index M, Index i0, Index j0) {
  const Index rows = std::min(kTileRows, M - i0), cols = std::min(kTileCols, M - j0);
  for (Index q = 0; q < cols; ++q)
    for (Index l = 0; l < rows; ++l) R[(j0 + q) * M + i0 + l] = s.v[q][l];
}

// Runs the tile's sums through `points` table rows (d points at the chosen
// derivative row of the first, ld doubles apart): for each point and entry,
// t = d[i] * d[j], then sum = fma(t, dx, sum). Three spellings of the same
// arithmetic, one vector lane per entry.
void run_tile_scalar(const double* d, Index ld, Index points, Index i0, Index j0,
                     double dx, TileSums& s) {
  for (Index g = 0; g < points; ++g) {
    const double* row = d + g * ld;
    for (Index q = 0; q < kTileCols; ++q) {
      const double b = row[j0 + q];
      for (Index l = 0; l < kTileRows; ++l)
        s.v[q][l] = std::fma(row[i0 + l] * b, dx, s.v[q][l]);
    }
  }
}

#if defined(QORV_WIDE_KERNELS)
__attribute__((target("avx2,fma")))
void run_tile_avx2(const double* d, Index ld, Index points, Index i0, Index j0,
                   double dx, TileSums& s) {
  __m256d acc[kTileCols][2];
  for (int q = 0; q < kTileCols; ++q)
    for (int h = 0; h < 2; ++h) acc[q][h] = _mm256_loadu_pd(&s.v[q][4 * h]);
  const __m256d vdx = _mm256_set1_pd(dx);
  for (Index g = 0; g < points; ++g) {
    const double* row = d + g * ld;
    const __m256d a0 = _mm256_loadu_pd(row + i0), a1 = _mm256_loadu_pd(row + i0 + 4);
    for (int q = 0; q < kTileCols; ++q) {
      const __m256d b = _mm256_set1_pd(row[j0 + q]);
      acc[q][0] = _mm256_fmadd_pd(_mm256_mul_pd(a0, b), vdx, acc[q][0]);
      acc[q][1] = _mm256_fmadd_pd(_mm256_mul_pd(a1, b), vdx, acc[q][1]);
    }
  }
  for (int q = 0; q < kTileCols; ++q)
    for (int h = 0; h < 2; ++h) _mm256_storeu_pd(&s.v[q][4 * h], acc[q][h]);
}

__attribute__((target("avx512f,fma")))
void run_tile_avx512(const double* d, Index ld, Index points, Index i0, Index j0,
                     double dx, TileSums& s) {
  __m512d acc[kTileCols];
  for (int q = 0; q < kTileCols; ++q) acc[q] = _mm512_loadu_pd(s.v[q]);
  const __m512d vdx = _mm512_set1_pd(dx);
  for (Index g = 0; g < points; ++g) {
    const double* row = d + g * ld;
    const __m512d a = _mm512_loadu_pd(row + i0);
    for (int q = 0; q < kTileCols; ++q)
      acc[q] = _mm512_fmadd_pd(_mm512_mul_pd(a, _mm512_set1_pd(row[j0 + q])), vdx, acc[q]);
  }
  for (int q = 0; q < kTileCols; ++q) _mm512_storeu_pd(s.v[q], acc[q]);
}

#endif

using TileKernel = void (*)(const double*, Index, Index, Index, Index, double, TileSums&);

// Chosen once, from what the processor does.
TileKernel tile_kernel() {
  static const TileKernel k = []() -> TileKernel {
#if defined(QORV_WIDE_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma"))
      return &run_tile_avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
      return &run_tile_avx2;
#endif
    return &run_tile_scalar;
  }();
  return k;
}

// A tile of the lower triangle (diagonal included) of R1 (m = 0) or R2.
struct Tile {
  int m;
  Index i0, j0;
};

std::vector<Tile> lower_tiles(Index padded) {
  std::vector<Tile> tiles;
  for (int m = 0; m < 2; ++m)
    for (Index j0 = 0; j0 < padded; j0 += kTileCols)
      for (Index i0 = j0 / kTileRows * kTileRows; i0 < padded; i0 += kTileRows)
        tiles.push_back({m, i0, j0});
  return tiles;
}

// Grid points [g0, g0 + points) into the table, then every tile; one
// parallel region per chunk, on `team` threads. Nothing in it throws.
void add_chunk(int deg, double x_min, double dx, Index g0, Index points,
               const std::vector<Tile>& tiles, int team, DerivTable& table,
               PenaltyMatrices1D& out) {
  const Index M = out.R1.rows();
  const Index n_tiles = static_cast<Index>(tiles.size());
  const TileKernel kernel = tile_kernel();
#pragma omp parallel num_threads(team) if (team > 1)
  {
#pragma omp for schedule(static)
    for (Index r = 0; r < points; ++r) {
      const double x = std::fma(static_cast<double>(g0 + r), dx, x_min);
      double* row = table.v.data() + r * table.ld;
      deriv_rows_1_2(x, deg, row, row + table.padded);
    }
#pragma omp for schedule(dynamic, 1)
    for (Index t = 0; t < n_tiles; ++t) {
      const Tile& tile = tiles[static_cast<std::size_t>(t)];
      double* R = (tile.m == 0 ? out.R1 : out.R2).data();
      TileSums sums = load_tile(R, M, tile.i0, tile.j0);
      kernel(table.v.data() + tile.m * table.padded, table.ld, points, tile.i0,
             tile.j0, dx, sums);
      store_tile(sums, R, M, tile.i0, tile.j0);
    }
  }
}

void mirror_lower(Eigen::MatrixXd& R) {
  const Index M = R.rows();
  for (Index j = 0; j < M; ++j)
    for (Index i = j + 1; i < M; ++i) R(j, i) = R(i, j);
}

}  // namespace

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min,
                                                 double x_max, int n_grid,
                                                 InterruptCheck interrupt) {
  if (deg < 0) throw std::invalid_argument("deg < 0");
  if (n_grid < 2) throw std::invalid_argument("n_grid < 2");
  if (deg == INT_MAX)
    throw size_error("deg + 1 rows overflow a 32-bit count (deg = " +
                     std::to_string(deg) + ")");
  const std::int64_t M = static_cast<std::int64_t>(deg) + 1;
  // Two M x M results.
  checked_elements(M, 2 * M, sizeof(double), "penalty matrices");
  const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);

  PenaltyMatrices1D out{Eigen::MatrixXd::Zero(M, M), Eigen::MatrixXd::Zero(M, M)};
  const Index padded = (M + kTileRows - 1) / kTileRows * kTileRows;
  const std::vector<Tile> tiles = lower_tiles(padded);

  // Threads only for a job of many milliseconds: below that, waking a team
  // (or waiting for one on a busy machine) costs more than it saves.
  const std::int64_t work_per_point = M * kDerivativeWork + M * (M + 1);
  constexpr std::int64_t kMinParallelWork = std::int64_t{1} << 24;
  const bool parallel = threads_usable() && n_grid * work_per_point >= kMinParallelWork;
  // A chunk is about one interrupt check's worth of work (a few on a team):
  // a grid of 2^31 points, or one point of a basis of thousands, takes
  // seconds, and the caller may stop it between chunks.
  const std::int64_t chunk_work = WorkPoll::kWorkPerCheck * (parallel ? 4 : 1);
  const Index chunk = std::max<Index>(1, std::min<Index>(n_grid, chunk_work / work_per_point));
  DerivTable table{2 * padded, padded, {}};
  table.v.assign(static_cast<std::size_t>(chunk * table.ld), 0.0);
  const int team =
      parallel ? loop_threads(std::max<Index>(chunk, static_cast<Index>(tiles.size()))) : 1;

  WorkPoll poll(interrupt);
  for (Index g0 = 0; g0 < n_grid; g0 += chunk) {
    const Index points = std::min<Index>(chunk, n_grid - g0);
    poll.done(points * work_per_point);
    add_chunk(deg, x_min, dx, g0, points, tiles, team, table, out);
  }
  mirror_lower(out.R1);
  mirror_lower(out.R2);
  return out;
}

}  // namespace qorv
