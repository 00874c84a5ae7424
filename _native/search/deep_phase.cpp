#include "search/deep_phase.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "search/schedule.hpp"

namespace qorv {

namespace {

Walker member_walker(const std::vector<Chain>& elite, std::size_t ei,
                     const DeepSettings& s) {
  return Walker{elite[ei], std::mt19937_64(schedule::member_seed(s.seed, ei)),
                NormalStream{0.0, s.step_size}};
}

// The start temperature of every member by the same repeated
// multiplications the sequential walk performs. After about 2.4 million
// steps T sinks to the smallest subnormal, where T * kDeepCooling == T: from
// there on every product is T again, so the loop stops early with the same
// value instead of spending minutes on subnormal arithmetic.
std::vector<double> member_start_temperatures(std::size_t m, const DeepSettings& s) {
  std::vector<double> T_start(m);
  double T = s.T0;
  for (std::size_t ei = 0; ei < m; ++ei) {
    T_start[ei] = T;
    for (int step = 0; step < s.n_deep; ++step) {
      const double next = T * schedule::kDeepCooling;
      if (next == T) break;
      T = next;
    }
  }
  return T_start;
}

}  // namespace

Chain deep_phase_sequential(const std::vector<Chain>& elite,
                            const Energy& energy, const DeepSettings& s) {
  const Interruption never(nullptr);
  Chain best = elite[0];
  double T = s.T0;
  for (std::size_t ei = 0; ei < elite.size(); ++ei) {
    Walker w = member_walker(elite, ei, s);
    T = metropolis_walk(w, s.n_deep, T, schedule::kDeepCooling, energy, never, &best);
  }
  return best;
}

Chain deep_phase(const std::vector<Chain>& elite, const Energy& energy,
                 const DeepSettings& s, const Interruption& interrupt) {
  const std::size_t m = elite.size();
  const std::vector<double> T_start = member_start_temperatures(m, s);

  // A member's first strict minimum below +inf; a state at +inf or NaN can
  // never replace a best in the sequential walk either. The members of one
  // group walk in lockstep.
  std::vector<Chain> member_best(m);
  const int count = static_cast<int>(m);
  const auto walk = [&](int e0, int e1, int row_team) {
    std::vector<Walker> ws;
    std::vector<double> T;
    std::vector<Chain> bests;
    for (int i = e0; i < e1; ++i) {
      const auto ei = static_cast<std::size_t>(i);
      ws.push_back(member_walker(elite, ei, s));
      T.push_back(T_start[ei]);
      bests.push_back(Chain{Eigen::VectorXd(ws.back().at.beta.size()),
                            std::numeric_limits<double>::infinity()});
    }
    metropolis_walks(ws, s.n_deep, T, schedule::kDeepCooling, energy, interrupt, &bests,
                     row_team);
    for (int i = e0; i < e1; ++i)
      member_best[static_cast<std::size_t>(i)] = std::move(bests[static_cast<std::size_t>(i - e0)]);
  };

  walk_in_groups(count, energy.work(),
                 static_cast<std::int64_t>(count) * std::max(s.n_deep, 0) * energy.work(),
                 interrupt, walk);

  Chain best = elite[0];
  for (const Chain& c : member_best)
    if (c.energy < best.energy) best = c;
  return best;
}

}  // namespace qorv
