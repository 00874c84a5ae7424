// A hook that lets a caller abandon a long computation.
#pragma once

namespace qorv {

// Called now and then during a long loop, on the thread that made the call
// and never from a parallel region; throws to abandon the computation (the
// Python binding turns a pending Ctrl-C into an exception). Null means never
// interrupted.
using InterruptCheck = void (*)();

// Calls `check` once every `Every` calls of poll(); cheap enough for the
// innermost loop that is not itself a hot kernel.
template <unsigned Every>
class PollEvery {
 public:
  explicit PollEvery(InterruptCheck check) : check_(check) {}
  void poll() {
    if (check_ != nullptr && ++count_ == Every) {
      count_ = 0;
      check_();
    }
  }

 private:
  InterruptCheck check_;
  unsigned count_ = 0;
};

}  // namespace qorv
