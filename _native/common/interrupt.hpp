// A hook that lets a caller abandon a long computation.
#pragma once

#include <cstdint>

namespace qorv {

// Called now and then during a long loop, on the thread that made the call
// and never from a parallel region; throws to abandon the computation (the
// Python binding turns a pending Ctrl-C into an exception). Null means never
// interrupted.
using InterruptCheck = void (*)();

// Calls `check` once a caller-counted amount of work has been done since the
// last call. Counting work (multiply-adds, power evaluations) rather than
// loop items keeps the gap between two checks near a millisecond whatever
// one item costs, so Ctrl-C is seen at once even when a single grid point
// or basis row takes seconds.
class WorkPoll {
 public:
  // About a millisecond of the kernels that use it.
  static constexpr std::int64_t kWorkPerCheck = std::int64_t{1} << 20;

  explicit WorkPoll(InterruptCheck check) : check_(check) {}

  // Records `work` units done; calls the check when enough have accrued.
  void done(std::int64_t work) {
    if (check_ == nullptr) return;
    pending_ += work;
    if (pending_ >= kWorkPerCheck) {
      pending_ = 0;
      check_();
    }
  }

 private:
  InterruptCheck check_;
  std::int64_t pending_ = 0;
};

}  // namespace qorv
