// Times one evaluation of the search's energy (qorv::Energy, no penalty)
// against its floor, a bare n x k matrix-vector product written as a plain
// column-axpy loop into a preallocated buffer, on one thread.
//
// Output: a JSON list on stdout, one row per (n, k) in {100, 1000, 10000} x
// {3, 6, 10}: {"n", "k", "energy_ns", "matvec_ns"}, each the median over
// many batches of the time per call in nanoseconds.
// Options: --quick (fewer, shorter batches).
#include <Eigen/Dense>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "fit/mdl_score.hpp"
#include "fit/robust_stats.hpp"
#include "search/energy.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Makes the compiler assume that the memory behind p was read and changed,
// so a loop that writes it can neither be dropped nor hoisted out of the
// repeat loop.
inline void clobber(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

// Floor of every evaluation: out = X b, one column at a time.
void matvec(const Eigen::MatrixXd& X, const double* b, double* out) {
  const Eigen::Index n = X.rows();
  const Eigen::Index k = X.cols();
  const double* col = X.data();
  const double b0 = b[0];
  for (Eigen::Index i = 0; i < n; ++i) out[i] = col[i] * b0;
  for (Eigen::Index j = 1; j < k; ++j) {
    col += n;
    const double bj = b[j];
    for (Eigen::Index i = 0; i < n; ++i) out[i] = out[i] + col[i] * bj;
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// Nanoseconds per call of f over `reps` back-to-back calls.
template <class F>
double batch_ns(F&& f, int reps) {
  const auto t0 = Clock::now();
  for (int r = 0; r < reps; ++r) f(r);
  const auto t1 = Clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / reps;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int n_batches = quick ? 15 : 61;
  const double batch_target_ns = quick ? 2e5 : 1e6;

  const int ns[] = {100, 1000, 10000};
  const int ks[] = {3, 6, 10};
  std::printf("[\n");
  bool first = true;
  for (int n : ns) {
    for (int k : ks) {
      // A polynomial design on [-1, 1] with noisy targets, as the search
      // sees it; the coefficients hit a fair share of the samples.
      std::mt19937_64 gen(12345u + 31u * static_cast<std::uint64_t>(n) + k);
      std::uniform_real_distribution<double> ux(-1.0, 1.0);
      std::normal_distribution<double> noise(0.0, 0.1);
      Eigen::MatrixXd X(n, k);
      Eigen::VectorXd y(n), b(k), work(k), out(n);
      for (int i = 0; i < n; ++i) {
        const double x = ux(gen);
        double p = 1.0;
        for (int j = 0; j < k; ++j) {
          X(i, j) = p;
          p *= x;
        }
      }
      for (int j = 0; j < k; ++j) b(j) = 0.5 / (1.0 + j);
      y = X * b;
      for (int i = 0; i < n; ++i) y(i) += noise(gen);
      for (int j = 0; j < k; ++j) b(j) += 0.01;

      const qorv::PenaltySpec pen{};
      const double eps = qorv::hit_tolerance(qorv::mad(y));
      const qorv::Energy energy(X, y, 20, eps, pen);

      volatile double sink = 0.0;
      auto run_energy = [&](int) { sink = energy(b, work.data()); };
      auto run_matvec = [&](int r) {
        clobber(X.data());
        matvec(X, b.data(), out.data());
        clobber(out.data());
        if (r == 0) sink = out(n - 1);
      };

      // Calibrate the batch length on the slower of the two, then warm up.
      int reps = 1;
      while (batch_ns(run_energy, reps) * reps < batch_target_ns && reps < (1 << 24))
        reps *= 2;
      batch_ns(run_energy, reps);
      batch_ns(run_matvec, reps);

      // Interleaved batches, so that both see the same disturbances.
      std::vector<double> te, tm;
      for (int t = 0; t < n_batches; ++t) {
        te.push_back(batch_ns(run_energy, reps));
        tm.push_back(batch_ns(run_matvec, reps));
      }
      std::printf("%s  {\"n\": %d, \"k\": %d, \"energy_ns\": %.2f, \"matvec_ns\": %.2f}",
                  first ? "" : ",\n", n, k, median(te), median(tm));
      first = false;
    }
  }
  std::printf("\n]\n");
  return 0;
}
