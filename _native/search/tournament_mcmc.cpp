#include "search/tournament_mcmc.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fit/mdl_score.hpp"
#include "fit/robust_stats.hpp"
#include "search/deep_phase.hpp"
#include "search/energy.hpp"
#include "search/draws.hpp"
#include "search/metropolis.hpp"
#include "search/parallel.hpp"

namespace qorv {

namespace {

// Orders energies ascending with NaN after every number. On numbers it is
// exactly a < b, so finite inputs are sorted as with the plain comparison,
// while a NaN can no longer break the strict weak ordering std::sort needs.
inline bool energy_less(const Chain& a, const Chain& b) {
  if (std::isnan(a.energy)) return false;
  if (std::isnan(b.energy)) return true;
  return a.energy < b.energy;
}

double distance(const Eigen::VectorXd& a, const Eigen::VectorXd& b) {
  double s = 0.0;
  for (Eigen::Index i = 0; i < a.size(); ++i) {
    const double d = a(i) - b(i);
    s = s + d * d;
  }
  return std::sqrt(s);
}

}  // namespace

TournamentMCMC::TournamentMCMC(int n_chains, int n_warmup, int n_deep,
                               int n_elite, double step_size, int H_piH,
                               std::uint64_t seed)
    : n_chains_(n_chains),
      n_warmup_(n_warmup),
      n_deep_(n_deep),
      n_elite_(n_elite),
      step_size_(step_size),
      H_piH_(H_piH),
      seed_(seed) {}

MCMCResult TournamentMCMC::fit(const Eigen::MatrixXd& X,
                               const Eigen::VectorXd& y,
                               const Eigen::MatrixXd* R1,
                               const Eigen::MatrixXd* R2, double gamma1,
                               double gamma2, InterruptCheck interrupt) const {
  if (n_chains_ < 0)
    throw std::length_error("cannot create std::vector larger than max_size()");
  if (n_chains_ == 0)
    throw std::invalid_argument("n_chains is 0: the search needs at least one chain");
  if (X.rows() != y.size())
    throw std::invalid_argument("y has " + std::to_string(y.size()) +
                                " entries but X has " + std::to_string(X.rows()) +
                                " rows");
  const Eigen::Index k = X.cols();
  const PenaltySpec pen{R1, R2, gamma1, gamma2};
  check_penalty_shapes(pen, k, "X", "columns");
  if (!(step_size_ > 0.0) || !std::isfinite(step_size_))
    throw std::invalid_argument("step_size must be a positive finite number, got " +
                                std::to_string(step_size_));

  const double eps_cached = hit_tolerance(mad(y));
  const Energy energy(X, y, H_piH_, eps_cached, pen);
  const Interruption interruption(interrupt);
  interruption.now();

  // Warm-up: independent annealed chains, each with its own engine seeded
  // from its index and writing only its own slot, so the result does not
  // depend on which thread ran which chain.
  std::vector<Chain> chains(static_cast<std::size_t>(n_chains_));
  interruption.parallel_for(n_chains_, [&](int c) {
    int polls = 0;
    std::mt19937_64 engine(seed_ + 1000u * static_cast<std::uint64_t>(c));
    NormalStream init{0.0, 0.5};
    NormalStream prop{0.0, step_size_};
    Eigen::VectorXd b(k), bc(k), work(k);
    for (Eigen::Index i = 0; i < k; ++i) b(i) = normal_draw(init, engine);
    double e = energy(b, work.data());
    double T = 2.0;
    for (int step = 0; step < n_warmup_; ++step) {
      for (Eigen::Index i = 0; i < k; ++i) bc(i) = b(i) + normal_draw(prop, engine);
      const double ec = energy(bc, work.data());
      if (metropolis_accept(e, ec, T, engine)) {
        b.swap(bc);
        e = ec;
      }
      T = T * 0.995;
      interruption.poll(polls);
    }
    chains[static_cast<std::size_t>(c)] = Chain{std::move(b), e};
  });
  interruption.now();

  Eigen::VectorXd energies(n_chains_);
  for (int c = 0; c < n_chains_; ++c) energies(c) = chains[static_cast<std::size_t>(c)].energy;
  const GibbsResult gb = gibbs_entropy(energies, 1.0);
  std::sort(chains.begin(), chains.end(), energy_less);

  // Elite: the best chain, then chains farther than 0.1 from every member,
  // then a fill-up from index s (the size reached) that may repeat members.
  std::vector<Chain> elite;
  elite.push_back(chains[0]);
  const auto room = [&] { return static_cast<std::int64_t>(elite.size()) < n_elite_; };
  for (int i = 1; i < n_chains_ && room(); ++i) {
    const Chain& cand = chains[static_cast<std::size_t>(i)];
    bool diverse = true;
    for (const Chain& m : elite)
      if (distance(cand.beta, m.beta) <= 0.1) {
        diverse = false;
        break;
      }
    if (diverse) elite.push_back(cand);
  }
  for (auto i = elite.size(); i < chains.size() && room(); ++i) elite.push_back(chains[i]);

  const DeepSettings deep{n_deep_, 0.3 * step_size_, 0.5 * gb.r_heat, seed_};
  Chain best = deep_phase(elite, energy, deep, interruption);
  interruption.now();

  MCMCResult result;
  result.beta_mcmc = std::move(best.beta);
  result.energy = best.energy;
  result.gibbs = gb;
  result.n_chains = n_chains_;
  result.n_elite = n_elite_;
  return result;
}

}  // namespace qorv
