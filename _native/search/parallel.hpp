// Exception-safe, interruptible parallel loops for the search.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

#include "common/interrupt.hpp"
#include "common/threads.hpp"

namespace qorv {

// Interruption of a running search: `check` is polled on the calling thread
// (OpenMP thread 0) each time it has done kPollWork multiply-adds of work,
// a few milliseconds, however much one evaluation costs; once anything has
// failed, the others stop at their next poll.
class Interruption {
 public:
  explicit Interruption(InterruptCheck check) : check_(check) {}

  // Runs the check now, on the calling thread (outside parallel regions).
  void now() const {
    if (check_ != nullptr) check_();
  }

  // Called after every piece of work by every thread, with its cost in
  // multiply-adds; `done` is the caller's own running total. Throws
  // Abandoned once another iteration has failed.
  void poll(std::int64_t& done, std::int64_t cost) const {
    if (check_ != nullptr && (done += cost) >= kPollWork) {
      done = 0;
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
  // About 3 ms of energy evaluation on a current core.
  static constexpr std::int64_t kPollWork = std::int64_t{1} << 22;
  InterruptCheck check_;
  mutable std::atomic<bool> stop_{false};
};

}  // namespace qorv
