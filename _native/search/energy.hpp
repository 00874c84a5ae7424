// The search's energy: the description-length score of the predictions X b
// against fixed targets, evaluated without allocating.
#pragma once

#include <Eigen/Dense>

#include "fit/mdl_score.hpp"

namespace qorv {

// Holds references to X, y and pen, which must outlive it. The predictions
// are formed sixteen rows at a time in registers and counted at once, so X
// is read once per evaluation and nothing is stored; each prediction is the sum
// over columns in column order, the value a stored X b would hold, so the
// result equals
// mdl_score_cached(X b, y, k, H, eps, &b, &pen).
class Energy {
 public:
  // X: n by k; y: n targets; H: size-term H; eps: hit tolerance; pen:
  // penalties with k by k matrices (shapes checked by the caller).
  Energy(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, int H, double eps,
         const PenaltySpec& pen);

  // b: k coefficients; work: at least k doubles of scratch.
  double operator()(const Eigen::VectorXd& b, double* work) const;

 private:
  const Eigen::MatrixXd& X_;
  const Eigen::VectorXd& y_;
  double eps_;
  const PenaltySpec& pen_;
  double model_term_;
};

}  // namespace qorv
