#include "common/threads.hpp"

#include <pthread.h>

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

}  // namespace qorv
