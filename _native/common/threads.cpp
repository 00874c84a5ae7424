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

int loop_threads(std::int64_t items) {
  if (items <= 1 || !threads_usable()) return 1;
  const std::int64_t cap =
      std::int64_t{kThreadsPerProcessor} * std::max(1, omp_get_num_procs());
  const std::int64_t wanted = std::max(1, omp_get_max_threads());
  return static_cast<int>(std::min({items, cap, wanted}));
}

}  // namespace qorv
