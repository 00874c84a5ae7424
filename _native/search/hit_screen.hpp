// A single-precision screen of the search's hit count.
//
// The exact count asks, per row, whether |fl64(sum_j X(i, j) b_j) - y_i| <
// eps. The screen forms the same sum in single precision, twice the lanes
// per instruction and half the bytes of X, and bounds the distance between
// the two sums from the row's norm and the vector's: a row whose screened
// distance is farther from eps than that bound is decided exactly as the
// double count decides it. The rare block of rows with an undecided row is
// left to the caller, who counts it again in double precision: the counts,
// and so the bits of the search, never depend on the screen.
#pragma once

#include <Eigen/Dense>
#include <cstdint>
#include <vector>

#include "common/aligned_doubles.hpp"
#include "common/dense_ref.hpp"

namespace qorv {

// Rows [r0, r0 + len).
struct RowSpan {
  Eigen::Index r0, len;
};

class HitScreen {
 public:
  // Screens nothing (active() is false).
  HitScreen() = default;

  // X: n by k; y: n targets; eps: hit tolerance; rows: the rows counted, a
  // multiple of 64 at least n (the rows past n never hit). Active only where
  // it can pay: at least 512 rows, k from 3 (AVX-512) or 6 (other paths) to
  // 1024, 2^-40 <= eps <= 2^50, and at most one row in 1024 with a finite
  // entry beyond 2^50 in magnitude (such a row is never decided); and
  // inactive when its copy cannot be had (it throws nothing).
  HitScreen(const MatrixView& X, const VectorRef& y, double eps, Eigen::Index rows);

  bool active() const { return k_ > 0; }

  // The most vectors one call of count() takes on this machine (1 to 3).
  int shared() const;

  // Screens the nb <= shared() vectors b[0 .. nb) of k coefficients over the
  // rows [r0, r0 + len), r0 and len multiples of 64 and len at most 2^20.
  // Returns the number m of blocks of rows it leaves undecided, with their
  // spans in spans[0 .. m) and in hits[v] vector v's exact hit count over
  // every other row; or -1 (nothing decided) when more than `capacity`
  // blocks are undecided or some b[v] is beyond the bound. Requires
  // active().
  int count(const double* const* b, int nb, Eigen::Index r0, Eigen::Index len,
            std::int64_t* hits, RowSpan* spans, int capacity) const;

 private:
  void build(const MatrixView& X, const VectorRef& y, double eps, Eigen::Index rows);

  // Column j of the copy of X at j ld_, then the rounded targets.
  const float* column(Eigen::Index j) const { return data_.data() + j * ld_; }
  Eigen::Index k_ = 0, ld_ = 0;
  AlignedArray<float> data_;
  // Per block of 64 rows: the largest row norm |x_i|_2 (rounded up) and
  // target term of the bound.
  std::vector<double> block_norm_, block_yterm_;
  double eps_lo_ = 0.0, eps_hi_ = 0.0;  // eps moved in and out by the slack
  double norm_factor_ = 0.0;  // bound per unit of |x_i|_2 |b|_2
};

}  // namespace qorv
