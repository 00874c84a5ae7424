#include "search/gibbs_entropy.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace qorv {

GibbsResult gibbs_entropy(const Eigen::VectorXd& energies, double T) {
  const Eigen::Index N = energies.size();
  if (N == 0) throw std::invalid_argument("energies is empty");
  const double* E = energies.data();

  double emin = E[0];
  for (Eigen::Index i = 1; i < N; ++i)
    if (E[i] < emin) emin = E[i];

  const double Tdiv = T + 1e-300;
  Eigen::VectorXd w(N);
  double wsum = 0.0;
  for (Eigen::Index i = 0; i < N; ++i) {
    w(i) = std::exp(-(E[i] - emin) / Tdiv);
    wsum = wsum + w(i);
  }
  double H = 0.0;
  for (Eigen::Index i = 0; i < N; ++i) {
    const double p = w(i) / wsum;
    H = H - p * std::log(p + 1e-300);
  }
  const double Hmax = std::log(static_cast<double>(std::max<Eigen::Index>(N, 2)));
  const double He = H / (Hmax + 1e-300);

  const double Nd = static_cast<double>(N);
  double sum = 0.0;
  for (Eigen::Index i = 0; i < N; ++i) sum = sum + E[i];
  const double meanE = sum / Nd;
  double var = 0.0;
  for (Eigen::Index i = 0; i < N; ++i) {
    const double d = E[i] - meanE;
    var = var + d * d;
  }

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
