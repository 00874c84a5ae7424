#include "search/gibbs_entropy.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/threads.hpp"

namespace qorv {

// Entries from which a team forms the weights: about 20 microseconds of
// exp and log on one core, several times what waking a team costs.
constexpr Eigen::Index kMinTeamEntries = 2048;

GibbsResult gibbs_entropy(const Eigen::VectorXd& energies, double T) {
  const Eigen::Index N = energies.size();
  if (N == 0) throw std::invalid_argument("energies is empty");
  const double* E = energies.data();

  // Each sum is sequential in index order (the bits fix it), so its adds
  // wait on one another; independent sums share a loop to overlap their
  // waits. The exp and log calls are independent per entry, and a long
  // vector has them formed by the team.
  const double Nd = static_cast<double>(N);
  double emin = E[0], sum = 0.0 + E[0];
  for (Eigen::Index i = 1; i < N; ++i) {
    if (E[i] < emin) emin = E[i];
    sum = sum + E[i];
  }
  const double meanE = sum / Nd;

  const double Tdiv = T + 1e-300;
  const bool team = N >= kMinTeamEntries && threads_usable();
  const int threads = loop_threads(N);
  Eigen::VectorXd w(N);
#pragma omp parallel for schedule(static) num_threads(threads) if (team)
  for (Eigen::Index i = 0; i < N; ++i) w(i) = std::exp(-(E[i] - emin) / Tdiv);
  double wsum = 0.0;
  for (Eigen::Index i = 0; i < N; ++i) wsum = wsum + w(i);
#pragma omp parallel for schedule(static) num_threads(threads) if (team)
  for (Eigen::Index i = 0; i < N; ++i) {
    const double p = w(i) / wsum;
    w(i) = p * std::log(p + 1e-300);
  }
  double H = 0.0, var = 0.0;
  for (Eigen::Index i = 0; i < N; ++i) {
    H = H - w(i);
    const double d = E[i] - meanE;
    var = var + d * d;
  }
  const double Hmax = std::log(static_cast<double>(std::max<Eigen::Index>(N, 2)));
  const double He = H / (Hmax + 1e-300);

  GibbsResult g;
  g.H = H;
  g.Hmax = Hmax;
  g.He = He;
  g.r_heat = std::fma(He, 0.99, 0.01);
  g.var_E = var / Nd;
  g.T = T;
  return g;
}

}  // namespace qorv
