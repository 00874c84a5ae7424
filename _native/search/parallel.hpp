// Exception-safe, interruptible parallel loops for the search.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

#include "common/threads.hpp"
#include "search/tournament_mcmc.hpp"

namespace qorv {

// Interruption of a running search: `check` is polled on the calling thread
// (OpenMP thread 0) every few thousand evaluations; once anything has
// failed, the others stop at their next poll.
class Interruption {
 public:
  explicit Interruption(InterruptCheck check) : check_(check) {}

  // Runs the check now, on the calling thread (outside parallel regions).
  void now() const {
    if (check_ != nullptr) check_();
  }

  // Called once per evaluation by every thread; `count` is the caller's own
  // counter. Throws Abandoned once another iteration has failed.
  void poll(int& count) const {
    if (check_ != nullptr && ++count == kPollEvery) {
      count = 0;
      if (omp_get_thread_num() == 0) check_();
    }
    if (stop_.load(std::memory_order_relaxed)) throw Abandoned();
  }

  struct Abandoned {};

  // Runs body(i) for i in [0, count) over the OpenMP threads (at most
  // loop_threads(count) of them), one index at a time. An exception is
  // caught in its iteration; after the loop an interruption, or else the
  // failure of the lowest failing index, is rethrown on the calling thread. Once the calling thread has no iteration left it
  // keeps polling the check until the others are done, so that Ctrl-C is
  // seen even while only other threads are still working.
  template <class Body>
  void parallel_for(int count, Body&& body) const {
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(count));
    std::exception_ptr interrupted;
    std::atomic<int> remaining{count};
    const int threads = loop_threads(count);
#pragma omp parallel num_threads(threads) if (threads > 1)
    {
#pragma omp for schedule(dynamic, 1) nowait
      for (int i = 0; i < count; ++i) {
        if (!stop_.load(std::memory_order_relaxed)) {
          try {
            body(i);
          } catch (const Abandoned&) {
            // stopped because an earlier failure is being reported
          } catch (...) {
            errors[static_cast<std::size_t>(i)] = std::current_exception();
            stop_.store(true, std::memory_order_relaxed);
          }
        }
        remaining.fetch_sub(1, std::memory_order_acq_rel);
      }
      if (omp_get_thread_num() == 0 && check_ != nullptr) {
        while (remaining.load(std::memory_order_acquire) > 0 &&
               !stop_.load(std::memory_order_relaxed)) {
          try {
            check_();
          } catch (...) {
            interrupted = std::current_exception();
            stop_.store(true, std::memory_order_relaxed);
            break;
          }
          std::this_thread::yield();
        }
      }
    }
    if (interrupted) std::rethrow_exception(interrupted);
    for (const auto& e : errors)
      if (e) std::rethrow_exception(e);
  }

 private:
  static constexpr int kPollEvery = 2048;
  InterruptCheck check_;
  mutable std::atomic<bool> stop_{false};
};

}  // namespace qorv
