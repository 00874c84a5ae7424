#include "search/metropolis.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

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
                      std::vector<Chain>* bests, int row_threads) {
  const std::size_t m = ws.size();
  if (m == 0) return;
  const Eigen::Index k = ws[0].at.beta.size();
  std::vector<Eigen::VectorXd> candidates(m, Eigen::VectorXd(k));
  std::vector<double> ec(m);
  row_threads = std::max(row_threads, 1);
  std::vector<std::int64_t> hits(Energy::hits_scratch(m, row_threads));
  Eigen::VectorXd work(k);
  std::int64_t done = 0;
  const std::int64_t step_work = energy.work() * static_cast<std::int64_t>(m);
  for (int step = 0; step < steps; ++step) {
    for (std::size_t c = 0; c < m; ++c)
      for (Eigen::Index i = 0; i < k; ++i)
        candidates[c](i) = ws[c].at.beta(i) + normal_draw(ws[c].proposal, ws[c].engine);
    energy(candidates, ec.data(), hits.data(), work.data(), row_threads);
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
// What waking a team and waiting for it costs once, in multiply-adds of
// energy work: about 2.5 microseconds, measured for two threads.
constexpr std::int64_t kTeamWakeWork = std::int64_t{1} << 15;
// Steps at least this many wake-ups long per thread are shared whatever
// the walker count. (At 16, the screened warm-up at n = 1e4, k = 10 shared
// its rows and scaled 0.66 from one thread to two, against 0.56 in groups:
// a wake-up per step costs more than its 2.5 microseconds alone.)
constexpr std::int64_t kLongStepWakes = 64;
}  // namespace

int walker_groups(int items, std::int64_t work) {
  const int threads = loop_threads(items);
  const std::int64_t worth = std::max<std::int64_t>(1, work / kWorkPerThread);
  return static_cast<int>(std::min<std::int64_t>(threads, worth));
}

int row_threads(int walkers, std::int64_t eval_work) {
  const std::int64_t threads = loop_threads(std::numeric_limits<int>::max());
  if (threads <= 1) return 1;
  // Per step, groups of walkers leave the team idle for this many
  // evaluations in all; sharing the rows costs one wake-up per thread.
  const std::int64_t idle = (walkers + threads - 1) / threads * threads - walkers;
  const bool uneven = idle * eval_work >= threads * kTeamWakeWork;
  // A step this long reads X from beyond a core's own cache: with the rows
  // shared each core reads only its part, and the wake-up is lost in it.
  const bool long_step = walkers * eval_work >= threads * kLongStepWakes * kTeamWakeWork;
  return uneven || long_step ? static_cast<int>(threads) : 1;
}

}  // namespace qorv
