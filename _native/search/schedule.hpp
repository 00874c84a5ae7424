// The numbers that shape the tournament search, each named once. Changing
// any of them changes every fixed-seed result.
#pragma once

#include <cstdint>

namespace qorv {
namespace schedule {

// Warm-up: independent annealed chains from random starting points.
constexpr double kStartSpread = 0.5;     // sd of each starting coefficient, N(0, 0.5)
constexpr double kWarmupT0 = 2.0;        // temperature of the first warm-up step
constexpr double kWarmupCooling = 0.995; // warm-up temperature factor per step
constexpr std::uint64_t kChainSeedStride = 1000;  // chain c seeds seed + 1000 c

// Between the phases.
constexpr double kSummaryT = 1.0;        // temperature of the Gibbs summary of the warm-up
constexpr double kEliteSpacing = 0.1;    // a diverse member is farther than this from every member

// Deep phase: Metropolis refinement of the elite, one member after another.
constexpr double kDeepStepScale = 0.3;   // proposal sd = 0.3 x the warm-up's step_size
constexpr double kDeepT0Scale = 0.5;     // first deep temperature = 0.5 x r_heat of the summary
constexpr double kDeepCooling = 0.9997;  // deep temperature factor per step, across members
constexpr std::uint64_t kMemberSeedOffset = 7777;  // member ei seeds seed + 7777 + 13 ei
constexpr std::uint64_t kMemberSeedStride = 13;

// Engine seeds, wrapping modulo 2^64.
inline std::uint64_t chain_seed(std::uint64_t seed, std::uint64_t c) {
  return seed + kChainSeedStride * c;
}
inline std::uint64_t member_seed(std::uint64_t seed, std::uint64_t ei) {
  return seed + kMemberSeedOffset + kMemberSeedStride * ei;
}

}  // namespace schedule
}  // namespace qorv
