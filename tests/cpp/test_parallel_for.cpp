// parallel_for reports the failure of the lowest failing index, not the
// first failure in time: iteration 17 throws first, iteration 5 later, and
// 5 is what the caller sees. Every iteration that ran did so exactly once.
#include <omp.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "search/parallel.hpp"

namespace {

using qorv_test::expect;

// Waits (at most two seconds, so one thread cannot hang the test) until
// `flag` is set.
void wait_for(const std::atomic<bool>& flag) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!flag.load() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::microseconds(50));
}

void lowest_failing_index_is_reported(int threads) {
  omp_set_num_threads(threads);
  std::atomic<bool> low_started{false}, high_thrown{false};
  std::vector<std::atomic<int>> runs(64);
  const qorv::Interruption none(nullptr);
  std::string caught;
  try {
    none.parallel_for(64, [&](int i) {
      runs[static_cast<std::size_t>(i)].fetch_add(1);
      if (i == 5) {
        low_started.store(true);
        wait_for(high_thrown);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        throw std::runtime_error("iteration 5");
      }
      if (i == 17) {
        wait_for(low_started);
        high_thrown.store(true);
        throw std::runtime_error("iteration 17");
      }
    });
  } catch (const std::runtime_error& e) {
    caught = e.what();
  }
  expect(caught == "iteration 5", "parallel_for rethrows the lowest failing index");
  bool once = true;
  for (const auto& r : runs) once = once && r.load() <= 1;
  expect(once && runs[5].load() == 1, "every index runs at most once");
}

void every_index_runs_once_without_failures() {
  omp_set_num_threads(3);
  std::vector<std::atomic<int>> runs(1000);
  const qorv::Interruption none(nullptr);
  none.parallel_for(1000, [&](int i) { runs[static_cast<std::size_t>(i)].fetch_add(1); });
  bool once = true;
  for (const auto& r : runs) once = once && r.load() == 1;
  expect(once, "parallel_for runs every index exactly once");
}

}  // namespace

void test_parallel_for() {
  for (int threads : {2, 4}) lowest_failing_index_is_reported(threads);
  every_index_runs_once_without_failures();
}
