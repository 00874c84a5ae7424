// Tournament of annealed Metropolis chains minimising the description-length
// score of a linear model y ~ X b.
#pragma once

#include <Eigen/Dense>
#include <cstdint>

#include "common/dense_ref.hpp"
#include "common/interrupt.hpp"
#include "search/gibbs_entropy.hpp"

namespace qorv {

// The configuration, stored unchecked (fit checks it).
struct SearchSettings {
  int n_chains;        // warm-up chains
  int n_warmup;        // steps per warm-up chain
  int n_deep;          // steps per elite member in the deep phase
  int n_elite;         // elite size (at least 1 is used)
  double step_size;    // warm-up proposal standard deviation
  int H_piH;           // H of the score's size term
  std::uint64_t seed;  // engine seeds derive from it (search/schedule.hpp)
};

struct MCMCResult {
  Eigen::VectorXd beta_mcmc;  // best coefficients of the deep phase
  double energy = 0.0;        // their energy
  GibbsResult gibbs;          // summary of the warm-up energies at T = 1
  std::int32_t n_chains = 0;  // configured chain count
  std::int32_t n_elite = 0;   // configured elite size
};

class TournamentMCMC {
 public:
  // Stores the configuration unchecked.
  TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite,
                 double step_size, int H_piH, std::uint64_t seed);

  // Runs the search; the object is not changed, so equal inputs give equal
  // results whatever the thread count.
  //
  // Inputs:
  //   X       n by k design
  //   y       n targets
  //   R1, R2  optional k by k penalty matrices (null = absent)
  //   gamma1, gamma2  penalty weights
  // Throws:
  //   std::length_error for a negative n_chains; std::invalid_argument for
  //   n_chains = 0, a step size that is not a positive finite number, or
  //   shapes that do not match; size_error (a std::bad_alloc) naming the
  //   bytes, before anything is allocated, when the search's state would
  //   exceed the machine's memory; whatever a chain threw (the lowest
  //   failing chain), rethrown on the calling thread.
  MCMCResult fit(const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
                 const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                 double gamma1, double gamma2,
                 InterruptCheck interrupt = nullptr) const;

  // The same, with X in any layout and y read in place: the binding passes
  // NumPy's arrays this way, so that the search's own aligned copy is the
  // only one.
  MCMCResult fit(const MatrixView& X, const VectorRef& y, const Eigen::MatrixXd* R1,
                 const Eigen::MatrixXd* R2, double gamma1, double gamma2,
                 InterruptCheck interrupt = nullptr) const;

 private:
  SearchSettings settings_;
};

}  // namespace qorv
