#include "search/deep_phase.hpp"

#include <limits>
#include <random>

#include "search/draws.hpp"
#include "search/metropolis.hpp"

namespace qorv {

Chain deep_phase_sequential(const std::vector<Chain>& elite,
                            const Energy& energy, const DeepSettings& s) {
  const Eigen::Index k = elite[0].beta.size();
  Eigen::VectorXd best_b = elite[0].beta;
  double best_e = elite[0].energy;
  double T = s.T0;
  Eigen::VectorXd bc(k), work(k);
  for (std::size_t ei = 0; ei < elite.size(); ++ei) {
    std::mt19937_64 engine(s.seed + 7777u + 13u * static_cast<std::uint64_t>(ei));
    NormalStream prop{0.0, s.step_size};
    Eigen::VectorXd b = elite[ei].beta;
    double e = elite[ei].energy;
    for (int step = 0; step < s.n_deep; ++step) {
      for (Eigen::Index i = 0; i < k; ++i) bc(i) = b(i) + normal_draw(prop, engine);
      const double ec = energy(bc, work.data());
      if (metropolis_accept(e, ec, T, engine)) {
        b.swap(bc);
        e = ec;
      }
      if (e < best_e) {
        best_e = e;
        best_b = b;
      }
      T = T * 0.9997;
    }
  }
  return Chain{std::move(best_b), best_e};
}

Chain deep_phase(const std::vector<Chain>& elite, const Energy& energy,
                 const DeepSettings& s, const Interruption& interrupt) {
  const int m = static_cast<int>(elite.size());
  const Eigen::Index k = elite[0].beta.size();
  // The start temperature of every member by the same repeated
  // multiplications the sequential walk performs. After about 2.4 million
  // steps T sinks to the smallest subnormal, where T * 0.9997 == T: from
  // there on every product is T again, so the loop stops early with the
  // same value instead of spending minutes on subnormal arithmetic.
  std::vector<double> T_start(static_cast<std::size_t>(m));
  double T = s.T0;
  for (int ei = 0; ei < m; ++ei) {
    T_start[static_cast<std::size_t>(ei)] = T;
    for (int step = 0; step < s.n_deep; ++step) {
      const double next = T * 0.9997;
      if (next == T) break;
      T = next;
    }
  }

  // A member's first strict minimum below +inf; a state at +inf or NaN can
  // never replace a best in the sequential walk either.
  std::vector<Chain> member_best(static_cast<std::size_t>(m));
  interrupt.parallel_for(m, [&](int ei) {
    const Chain& start = elite[static_cast<std::size_t>(ei)];
    std::mt19937_64 engine(s.seed + 7777u + 13u * static_cast<std::uint64_t>(ei));
    NormalStream prop{0.0, s.step_size};
    Eigen::VectorXd b = start.beta;
    Eigen::VectorXd bc(k), work(k), best_b(k);
    double e = start.energy;
    double best_e = std::numeric_limits<double>::infinity();
    double Tm = T_start[static_cast<std::size_t>(ei)];
    int polls = 0;
    for (int step = 0; step < s.n_deep; ++step) {
      for (Eigen::Index i = 0; i < k; ++i) bc(i) = b(i) + normal_draw(prop, engine);
      const double ec = energy(bc, work.data());
      if (metropolis_accept(e, ec, Tm, engine)) {
        b.swap(bc);
        e = ec;
      }
      if (e < best_e) {
        best_e = e;
        best_b = b;
      }
      Tm = Tm * 0.9997;
      interrupt.poll(polls);
    }
    member_best[static_cast<std::size_t>(ei)] = Chain{std::move(best_b), best_e};
  });

  Chain best = elite[0];
  for (const Chain& c : member_best)
    if (c.energy < best.energy) best = c;
  return best;
}

}  // namespace qorv
