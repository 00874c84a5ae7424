// Gibbs-entropy summary of an energy sample.
#pragma once

#include <Eigen/Dense>

namespace qorv {

struct GibbsResult {
  double H = 0.0;       // entropy of the Gibbs weights (nats)
  double Hmax = 0.0;    // ln(max(N, 2))
  double He = 0.0;      // H / (Hmax + 1e-300)
  double r_heat = 0.0;  // 0.01 + 0.99 He (fused multiply-add)
  double var_E = 0.0;   // population variance of the energies
  double T = 0.0;       // the temperature passed in
};

// Reads the N energies as a Boltzmann distribution at temperature T, with
// weights exp(-(E_i - min E) / (T + 1e-300)).
//
// Inputs:
//   energies  N >= 1 energies
//   T         temperature (not validated)
// Throws std::invalid_argument for an empty sample.
GibbsResult gibbs_entropy(const Eigen::VectorXd& energies, double T);

}  // namespace qorv
