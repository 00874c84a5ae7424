#include "common/threads.hpp"

#include <omp.h>
#include <pthread.h>

#include <algorithm>

#include <atomic>

namespace qorv {

namespace {

std::atomic<bool> forked_child{false};

void on_fork_child() { forked_child.store(true, std::memory_order_relaxed); }

// Registered when the library is loaded, so that every fork after it is seen.
const int registered = pthread_atfork(nullptr, nullptr, &on_fork_child);

}  // namespace

bool threads_usable() {
  (void)registered;
  return !forked_child.load(std::memory_order_relaxed);
}

int team_size(long long items) {
  // More threads than processors only time-share; a few times as many
  // still lets an oversubscribed machine make progress.
  constexpr long long kPerProcessor = 4;
  const long long cap = kPerProcessor * std::max(1, omp_get_num_procs());
  return static_cast<int>(
      std::max(1LL, std::min({items, static_cast<long long>(omp_get_max_threads()), cap})));
}

}  // namespace qorv
