// A minimal test harness for the core's C++ tests: counted checks, a report
// line that the Python runner reads ("N passed, M failed").
#pragma once

#include <cstdio>
#include <cstring>

namespace qorv_test {

struct Tally {
  int checks = 0;
  int failures = 0;
};

inline Tally& tally() {
  static Tally t;
  return t;
}

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Counts one check; prints `what` when it failed. Returns `ok`.
inline bool expect(bool ok, const char* what) {
  ++tally().checks;
  if (!ok) {
    ++tally().failures;
    std::printf("FAIL %s\n", what);
  }
  return ok;
}

}  // namespace qorv_test

// Each test file defines one of these; main.cpp runs them in order.
void test_deep_phase();
void test_hit_screen();
void test_draws();
void test_intro_sort();
void test_parallel_for();
