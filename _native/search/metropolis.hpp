// The Metropolis walk shared by both phases of the search: its state, its
// acceptance rule and the walk itself.
#pragma once

#include <Eigen/Dense>
#include <cmath>
#include <random>
#include <vector>

#include "search/draws.hpp"
#include "search/energy.hpp"
#include "search/parallel.hpp"

namespace qorv {

// A point of the walk: coefficients and their energy.
struct Chain {
  Eigen::VectorXd beta;
  double energy = 0.0;
};

// A walker: where it stands and the streams it draws from (the engine also
// feeds the acceptance draws; the proposal keeps its saved second normal).
struct Walker {
  Chain at;
  std::mt19937_64 engine;
  NormalStream proposal;  // mean 0, sd the step size
};

// Downhill always (without a draw); otherwise one uniform draw u on [0, 1)
// and acceptance when u < exp(min(0, (e - ec) / T)). min(0, x) keeps x only
// when x < 0, so an undefined comparison (NaN) accepts.
template <class Engine>
inline bool metropolis_accept(double e, double ec, double T, Engine& engine) {
  if (ec < e) return true;
  const double u = uniform_draw(engine, 0.0, 1.0);
  const double x = (e - ec) / T;
  return u < std::exp(x < 0.0 ? x : 0.0);
}

// `steps` Metropolis steps of w from temperature T, T multiplied by
// `cooling` after every step. Each step proposes at + N(0, sd) per
// coefficient in order, evaluates it and accepts by metropolis_accept;
// then, when `best` is given, a strictly lower energy than best's replaces
// it. Polls `interrupt` after every evaluation. Returns the temperature
// after the last step (T itself for steps <= 0).
double metropolis_walk(Walker& w, int steps, double T, double cooling,
                       const Energy& energy, const Interruption& interrupt,
                       Chain* best);

// metropolis_walk of every walker of `ws` at once, walker c from T[c]:
// each step draws every walker's proposal from its own streams, evaluates
// them all in one pass over X, then applies each walker's acceptance and
// best (bests[c], when given). Every walker draws and computes exactly what
// it would alone, so the results are the same bits in any grouping. T[c]
// ends at the temperature after the last step. With row_threads > 1 each
// pass over X is shared by a team of that many threads (called outside any
// parallel region); the bits stay the same.
void metropolis_walks(std::vector<Walker>& ws, int steps, std::vector<double>& T,
                      double cooling, const Energy& energy, const Interruption& interrupt,
                      std::vector<Chain>* bests, int row_threads = 1);

// Contiguous groups of walkers that the search steps in lockstep, one per
// thread of the team: as many as the threads (at most `items`), fewer when
// the work (in the Energy's multiply-adds) would not keep them busy for
// long enough to pay for starting them. Never changes the bits.
int walker_groups(int items, std::int64_t work);

// The team that shares each pass over X when `walkers` walk in lockstep,
// each evaluation `eval_work` multiply-adds, instead of being split into
// walker groups: all threads when the groups would leave threads idle (the
// walkers do not divide evenly) for longer than waking the team every step
// costs, or when a step is long enough that the wake-up hardly counts;
// otherwise 1.
int row_threads(int walkers, std::int64_t eval_work);

// The first walker of group g of `groups` over `items`.
inline int group_begin(int g, int groups, int items) {
  return static_cast<int>(static_cast<std::int64_t>(g) * items / groups);
}

// Runs walk(first, last, row_team) over the walkers [0, walkers), each
// evaluation `eval_work` multiply-adds and the whole phase `total_work`: as
// one group on the calling thread whose passes over X the team shares when
// row_threads() says so, otherwise as walker_groups() groups, one per
// thread (row_team 1). Either way no thread waits long for another.
template <class Walk>
void walk_in_groups(int walkers, std::int64_t eval_work, std::int64_t total_work,
                    const Interruption& interrupt, Walk&& walk) {
  const int row_team = row_threads(walkers, eval_work);
  if (row_team > 1) {
    walk(0, walkers, row_team);
    return;
  }
  const int groups = walker_groups(walkers, total_work);
  interrupt.parallel_for(groups, [&](int g) {
    walk(group_begin(g, groups, walkers), group_begin(g + 1, groups, walkers), 1);
  });
}

}  // namespace qorv
