// The deep phase of the tournament search: Metropolis refinement of the
// elite, as one sequential walk or, with the same result, member by member
// in parallel.
#pragma once

#include <cstdint>
#include <vector>

#include "search/energy.hpp"
#include "search/metropolis.hpp"
#include "search/parallel.hpp"

namespace qorv {

struct DeepSettings {
  int n_deep;           // steps per member
  double step_size;     // proposal standard deviation
  double T0;            // temperature of the first step
  std::uint64_t seed;   // member ei draws from schedule::member_seed(seed, ei)
};

// The definition: members in elite order, each walking n_deep steps from
// its stored state, the temperature cooling by schedule::kDeepCooling per
// step across all of them, the best state replaced after every step only by
// a strictly lower energy, starting from elite[0] as stored.
//
// Inputs: elite (m >= 1 chains of k entries), energy, settings.
// Output: the best chain.
Chain deep_phase_sequential(const std::vector<Chain>& elite,
                            const Energy& energy, const DeepSettings& s);

// The same result with the members on OpenMP threads: each member starts at
// the temperature the sequential walk reaches there and keeps its own first
// strict minimum; the minima are merged in member order with the same
// strict test. Throws what a member threw (the first in member order).
Chain deep_phase(const std::vector<Chain>& elite, const Energy& energy,
                 const DeepSettings& s, const Interruption& interrupt);

}  // namespace qorv
