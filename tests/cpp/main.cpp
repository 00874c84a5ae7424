#include <cstdio>

#include "check.hpp"

int main() {
  test_draws();
  test_intro_sort();
  test_parallel_for();
  test_deep_phase();
  test_hit_screen();
  const qorv_test::Tally& t = qorv_test::tally();
  std::printf("%d passed, %d failed\n", t.checks - t.failures, t.failures);
  return t.failures == 0 ? 0 : 1;
}
