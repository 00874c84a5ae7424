#include "search/metropolis.hpp"

#include <algorithm>
#include <cstdint>

#include "common/threads.hpp"

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

void metropolis_walks(std::vector<Walker>& ws, int steps, std::vector<double>& T,
                      double cooling, const Energy& energy, const Interruption& interrupt,
                      std::vector<Chain>* bests) {
  const std::size_t m = ws.size();
  if (m == 0) return;
  const Eigen::Index k = ws[0].at.beta.size();
  std::vector<Eigen::VectorXd> candidates(m, Eigen::VectorXd(k));
  std::vector<double> ec(m);
  std::vector<std::int64_t> hits(m);
  Eigen::VectorXd work(k);
  std::int64_t done = 0;
  const std::int64_t step_work = energy.work() * static_cast<std::int64_t>(m);
  for (int step = 0; step < steps; ++step) {
    for (std::size_t c = 0; c < m; ++c)
      for (Eigen::Index i = 0; i < k; ++i)
        candidates[c](i) = ws[c].at.beta(i) + normal_draw(ws[c].proposal, ws[c].engine);
    energy(candidates, ec.data(), hits.data(), work.data());
    for (std::size_t c = 0; c < m; ++c) {
      Walker& w = ws[c];
      if (metropolis_accept(w.at.energy, ec[c], T[c], w.engine)) {
        w.at.beta.swap(candidates[c]);
        w.at.energy = ec[c];
      }
      if (bests != nullptr && w.at.energy < (*bests)[c].energy) {
        (*bests)[c].energy = w.at.energy;
        (*bests)[c].beta = w.at.beta;
      }
      T[c] = T[c] * cooling;
    }
    interrupt.poll(done, step_work);
  }
}

namespace {
// Work (multiply-adds) that one more thread must get before it is started:
// about a quarter of a millisecond, well above what waking it costs.
constexpr std::int64_t kWorkPerThread = std::int64_t{1} << 19;
}  // namespace

int walker_groups(int items, std::int64_t work) {
  const int threads = loop_threads(items);
  const std::int64_t worth = std::max<std::int64_t>(1, work / kWorkPerThread);
  return static_cast<int>(std::min<std::int64_t>(threads, worth));
}

}  // namespace qorv
