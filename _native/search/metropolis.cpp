#include "search/metropolis.hpp"

namespace qorv {

double metropolis_walk(Walker& w, int steps, double T, double cooling,
                       const Energy& energy, const Interruption& interrupt,
                       Chain* best) {
  const Eigen::Index k = w.at.beta.size();
  Eigen::VectorXd candidate(k), work(k);
  std::int64_t done = 0;
  for (int step = 0; step < steps; ++step) {
    for (Eigen::Index i = 0; i < k; ++i)
      candidate(i) = w.at.beta(i) + normal_draw(w.proposal, w.engine);
    const double ec = energy(candidate, work.data());
    if (metropolis_accept(w.at.energy, ec, T, w.engine)) {
      w.at.beta.swap(candidate);
      w.at.energy = ec;
    }
    if (best != nullptr && w.at.energy < best->energy) {
      best->energy = w.at.energy;
      best->beta = w.at.beta;
    }
    T = T * cooling;
    interrupt.poll(done, energy.work());
  }
  return T;
}

}  // namespace qorv
