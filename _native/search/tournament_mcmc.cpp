#include "search/tournament_mcmc.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/intro_sort.hpp"
#include "common/size_guard.hpp"
#include "fit/mdl_score.hpp"
#include "fit/robust_stats.hpp"
#include "search/deep_phase.hpp"
#include "search/draws.hpp"
#include "search/energy.hpp"
#include "search/metropolis.hpp"
#include "search/parallel.hpp"
#include "search/schedule.hpp"

namespace qorv {

namespace {

// The configuration and the inputs, checked in this order.
void check_inputs(const SearchSettings& s, const MatrixView& X, const VectorRef& y,
                  const PenaltySpec& pen) {
  if (s.n_chains < 0)
    throw std::length_error("cannot create std::vector larger than max_size()");
  if (s.n_chains == 0)
    throw std::invalid_argument("n_chains is 0: the search needs at least one chain");
  if (X.rows() != y.size())
    throw std::invalid_argument("y has " + std::to_string(y.size()) +
                                " entries but X has " + std::to_string(X.rows()) +
                                " rows");
  check_penalty_shapes(pen, X.cols(), "X", "columns");
  if (!(s.step_size > 0.0) || !std::isfinite(s.step_size))
    throw std::invalid_argument("step_size must be a positive finite number, got " +
                                std::to_string(s.step_size));
}

int elite_size(const SearchSettings& s) {
  return std::max(1, std::min(s.n_elite, s.n_chains));
}

// What the search will hold, computed before any of it is allocated: per
// chain its coefficients, its record, its energy twice (summary and
// weights), its failure slot, and the lockstep walk's candidate and count;
// per elite member two chains (the member and its best), a start
// temperature and a failure slot. Throws size_error naming the bytes when
// that exceeds the machine's memory.
void check_memory(const SearchSettings& s, Eigen::Index k) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::int64_t chain = static_cast<std::int64_t>(sizeof(Chain)) +
                             static_cast<std::int64_t>(sizeof(double)) * k;
  // The lockstep walk adds a candidate and a hit counter per chain.
  const std::int64_t per_chain =
      2 * chain + 2 * static_cast<std::int64_t>(sizeof(double)) +
      static_cast<std::int64_t>(sizeof(std::int64_t)) +
      static_cast<std::int64_t>(sizeof(std::exception_ptr));
  const std::int64_t per_member = 2 * chain + static_cast<std::int64_t>(sizeof(double)) +
                                  static_cast<std::int64_t>(sizeof(std::exception_ptr));
  const std::int64_t chains = s.n_chains, members = elite_size(s);
  const bool overflows = per_chain > (kMax / 2) / chains || per_member > (kMax / 2) / members;
  const std::int64_t bytes = overflows ? kMax : chains * per_chain + members * per_member;
  if (bytes > physical_memory_bytes())
    throw size_error("the search's " + std::to_string(chains) + " chains of " +
                     std::to_string(k) + " coefficients need " +
                     (overflows ? std::string("more than 2^62") : std::to_string(bytes)) +
                     " bytes, more than this machine's " +
                     std::to_string(physical_memory_bytes()) + " bytes of memory");
}

// Independent annealed chains, each with its own engine seeded from its
// index and writing only its own slot, so the result does not depend on
// which thread ran which chain. The chains of one group walk in lockstep.
std::vector<Chain> warm_up(const SearchSettings& s, Eigen::Index k,
                           const Energy& energy, const Interruption& interruption) {
  std::vector<Chain> chains(static_cast<std::size_t>(s.n_chains));
  const auto walk = [&](int c0, int c1, int row_team) {
    std::vector<Walker> ws;
    ws.reserve(static_cast<std::size_t>(c1 - c0));
    Eigen::VectorXd work_k(k);
    for (int c = c0; c < c1; ++c) {
      Walker w{Chain{Eigen::VectorXd(k), 0.0},
               std::mt19937_64(schedule::chain_seed(s.seed, static_cast<std::uint64_t>(c))),
               NormalStream{0.0, s.step_size}};
      NormalStream start{0.0, schedule::kStartSpread};
      for (Eigen::Index i = 0; i < k; ++i) w.at.beta(i) = normal_draw(start, w.engine);
      w.at.energy = energy(w.at.beta, work_k.data());
      ws.push_back(std::move(w));
    }
    std::vector<double> T(ws.size(), schedule::kWarmupT0);
    metropolis_walks(ws, s.n_warmup, T, schedule::kWarmupCooling, energy, interruption,
                     nullptr, row_team);
    for (int c = c0; c < c1; ++c)
      chains[static_cast<std::size_t>(c)] = std::move(ws[static_cast<std::size_t>(c - c0)].at);
  };

  walk_in_groups(s.n_chains, energy.work(),
                 static_cast<std::int64_t>(s.n_chains) * (std::max(s.n_warmup, 0) + 1) *
                     energy.work(),
                 interruption, walk);
  return chains;
}

GibbsResult summarise(const std::vector<Chain>& chains) {
  Eigen::VectorXd energies(static_cast<Eigen::Index>(chains.size()));
  for (std::size_t c = 0; c < chains.size(); ++c)
    energies(static_cast<Eigen::Index>(c)) = chains[c].energy;
  return gibbs_entropy(energies, schedule::kSummaryT);
}

// Orders energies ascending with NaN after every number. On numbers it is
// exactly a < b, so finite inputs are sorted as with the plain comparison,
// while a NaN can no longer break the strict weak ordering a sort needs.
bool energy_less(const Chain& a, const Chain& b) {
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

// From the chains ranked by energy: the best, then chains farther than
// kEliteSpacing from every member, then a fill-up from index s (the size
// reached) that may repeat members; at most elite_size() in all.
std::vector<Chain> select_elite(const std::vector<Chain>& ranked, int size,
                                const Interruption& interruption) {
  std::vector<Chain> elite{ranked[0]};
  const auto room = [&] { return static_cast<std::int64_t>(elite.size()) < size; };
  const std::int64_t k = ranked[0].beta.size();
  std::int64_t done = 0;
  for (std::size_t i = 1; i < ranked.size() && room(); ++i) {
    const Chain& cand = ranked[i];
    bool diverse = true;
    for (const Chain& m : elite)
      if (distance(cand.beta, m.beta) <= schedule::kEliteSpacing) {
        diverse = false;
        break;
      }
    if (diverse) elite.push_back(cand);
    interruption.poll(done, static_cast<std::int64_t>(elite.size()) * (k + 1));
  }
  for (auto i = elite.size(); i < ranked.size() && room(); ++i) elite.push_back(ranked[i]);
  return elite;
}

}  // namespace

TournamentMCMC::TournamentMCMC(int n_chains, int n_warmup, int n_deep,
                               int n_elite, double step_size, int H_piH,
                               std::uint64_t seed)
    : settings_{n_chains, n_warmup, n_deep, n_elite, step_size, H_piH, seed} {}

MCMCResult TournamentMCMC::fit(const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
                               const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                               double gamma1, double gamma2, InterruptCheck interrupt) const {
  return fit(MatrixView(X), VectorRef(y), R1, R2, gamma1, gamma2, interrupt);
}

MCMCResult TournamentMCMC::fit(const MatrixView& X, const VectorRef& y,
                               const Eigen::MatrixXd* R1, const Eigen::MatrixXd* R2,
                               double gamma1, double gamma2, InterruptCheck interrupt) const {
  const SearchSettings& s = settings_;
  const PenaltySpec pen{R1, R2, gamma1, gamma2};
  check_inputs(s, X, y, pen);
  check_memory(s, X.cols());

  const Energy energy(X, y, s.H_piH, hit_tolerance(mad(y)), pen);
  const Interruption interruption(interrupt);
  interruption.now();
  std::vector<Chain> chains = warm_up(s, X.cols(), energy, interruption);
  interruption.now();

  const GibbsResult summary = summarise(chains);
  intro_sort(chains.begin(), chains.end(), energy_less);
  const std::vector<Chain> elite = select_elite(chains, elite_size(s), interruption);

  const DeepSettings deep{s.n_deep, schedule::kDeepStepScale * s.step_size,
                          schedule::kDeepT0Scale * summary.r_heat, s.seed};
  Chain best = deep_phase(elite, energy, deep, interruption);
  interruption.now();

  MCMCResult result;
  result.beta_mcmc = std::move(best.beta);
  result.energy = best.energy;
  result.gibbs = summary;
  result.n_chains = s.n_chains;
  result.n_elite = s.n_elite;
  return result;
}

}  // namespace qorv
