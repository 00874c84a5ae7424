// The search's energy: the description-length score of the predictions X b
// against fixed targets, evaluated without allocating.
#pragma once

#include <Eigen/Dense>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/aligned_doubles.hpp"
#include "common/dense_ref.hpp"
#include "fit/mdl_score.hpp"
#include "search/hit_screen.hpp"

namespace qorv {

// Holds its own copy of X and y, every column starting on a cache line
// (the kernels load whole lines) and padded to whole blocks of rows, and
// borrows the penalty matrices that `pen` points to (the caller keeps them
// alive and unchanged while the Energy is in use); owns its copy of the
// penalty record itself. The predictions are formed a block of rows at a
// time in registers and counted at once, so X is read once per evaluation
// and nothing is stored; each prediction is the sum over columns in column
// order, the value a stored X b would hold, so the result equals
// mdl_score_cached(X b, y, k, H, eps, &b, &pen). Where its screen is active
// the rows are first counted in single precision, and only the blocks of
// rows that the screen leaves undecided are counted from the double copy.
class Energy {
 public:
  // X: n by k; y: n targets; H: size-term H; eps: hit tolerance; pen:
  // penalties with k by k matrices (shapes checked by the caller). Throws
  // size_error when the copy would not fit in memory.
  Energy(const MatrixView& X, const VectorRef& y, int H, double eps,
         const PenaltySpec& pen);

  // b: k coefficients; work: at least k doubles of scratch.
  double operator()(const Eigen::VectorXd& b, double* work) const;

  // The energies of several coefficient vectors at once, each the same bits
  // as operator() gives it: X is read in row tiles small enough to stay in
  // cache (L1 for the double copy, L2 for the screen's) while every
  // vector's predictions for the tile are formed, so one pass over X serves
  // them all (the hit counts are integers, so the tiling cannot change
  // them). b: vectors of k coefficients; energies: b.size()
  // results; hits: b.size() counters of scratch; work: k doubles.
  void operator()(const std::vector<Eigen::VectorXd>& b, double* energies,
                  std::int64_t* hits, double* work) const;

  // The same, with the row tiles shared out over a team of up to `threads`
  // threads in contiguous runs (the hit counts are integers, so neither the
  // team nor the split can change them). hits: hits_scratch(b.size(),
  // threads) counters of scratch. Must not be called from inside a
  // parallel region.
  void operator()(const std::vector<Eigen::VectorXd>& b, double* energies,
                  std::int64_t* hits, double* work, int threads) const;

  // Counters of scratch for `count` vectors on `threads` threads: each
  // thread's row of counters a cache line apart from the next, so that the
  // threads never write to one line.
  static std::size_t hits_scratch(std::size_t count, int threads) {
    if (threads <= 1) return count;
    return static_cast<std::size_t>(threads) * hits_stride(count);
  }

  // The cost of one evaluation and the step around it, in multiply-adds
  // (n k for the predictions, half that where they are screened, n for the
  // count, k^2 per applied penalty, and kStepOverhead for the draws and the
  // logarithms): the unit in which the search measures work done, e.g. to
  // poll for Ctrl-C and to choose between walker groups and shared rows.
  std::int64_t work() const { return work_; }

  static constexpr std::int64_t kStepOverhead = 64;

 private:
  static constexpr std::size_t kLineCounters = kCacheLine / sizeof(std::int64_t);
  static std::size_t hits_stride(std::size_t count) {
    return (count + kLineCounters - 1) / kLineCounters * kLineCounters + kLineCounters;
  }

  // Column j of X at j ld_, y at k ld_; rows_ >= n_ rows of each are
  // counted (the rows past n_ never hit).
  const double* column(Eigen::Index j) const { return data_.data() + j * ld_; }
  // Rows the screen was run over (once per group of vectors), and those
  // of them counted again exactly.
  struct ScreenTally {
    std::int64_t rows = 0, recounted = 0;
  };
  // Adds the hits of the nb <= 3 vectors b[0 .. nb) over the rows
  // [r0, r0 + len) of one tile to out[0 .. nb), screened if `screen`.
  void add_tile_hits(const double* const* b, Eigen::Index nb, Eigen::Index r0,
                     Eigen::Index len, std::int64_t* out, bool screen,
                     ScreenTally& tally) const;
  // Whether to screen: the screen is active and has not been given up.
  bool screening() const;
  void record(const ScreenTally& tally) const;
  // Rows per tile of the evaluation: the screen's when screening.
  Eigen::Index tile(bool screen) const;
  Eigen::Index n_, k_, rows_, ld_;
  HitScreen screen_;  // before data_: its scratch is gone before data_ is made
  // The screen's record over all evaluations so far, added to once per
  // call and thread; it decides only whether to screen, never a count.
  mutable std::atomic<std::int64_t> screen_rows_{0}, screen_recounted_{0};
  AlignedDoubles data_;
  double eps_;
  PenaltySpec pen_;
  double model_term_;
  std::int64_t work_;
};

}  // namespace qorv
