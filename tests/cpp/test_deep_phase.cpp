// The parallel deep phase must return exactly what the sequential walk
// returns: same state, same energy bits, ties resolved to the earlier member
// and step. Run over many elites, with and without penalties (without them
// energies tie constantly), with NaN and infinite energies, and with
// repeated members.
#include <omp.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "search/deep_phase.hpp"
#include "search/energy.hpp"

namespace {

using qorv_test::same_bits;

void expect_same(const qorv::Chain& a, const qorv::Chain& b, const char* what) {
  bool ok = same_bits(a.energy, b.energy) && a.beta.size() == b.beta.size();
  for (Eigen::Index i = 0; ok && i < a.beta.size(); ++i)
    ok = same_bits(a.beta(i), b.beta(i));
  if (!qorv_test::expect(ok, what))
    std::printf("  energies %.17g vs %.17g\n", a.energy, b.energy);
}

}  // namespace

void test_deep_phase() {
  std::mt19937_64 rng(12345);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (int trial = 0; trial < 60; ++trial) {
    const int n = 20 + trial * 7;
    const int k = 1 + trial % 5;
    Eigen::MatrixXd X(n, k);
    Eigen::VectorXd y(n);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < k; ++j) X(i, j) = normal(rng);
      y(i) = X(i, 0) + 0.1 * normal(rng);
    }
    Eigen::MatrixXd R = Eigen::MatrixXd::Identity(k, k);
    const double gamma = trial % 3 == 0 ? 0.0 : (trial % 3 == 1 ? 1e-3 : std::nan(""));
    const qorv::PenaltySpec pen{&R, nullptr, gamma, 0.0};
    const qorv::Energy energy(X, y, 20, 0.3, pen);

    const int m = 1 + trial % 6;
    std::vector<qorv::Chain> elite;
    Eigen::VectorXd work(k);
    for (int ei = 0; ei < m; ++ei) {
      if (ei > 0 && trial % 4 == 0) {  // fill-up pass may repeat a member
        elite.push_back(elite[ei - 1]);
        continue;
      }
      Eigen::VectorXd b(k);
      for (int j = 0; j < k; ++j) b(j) = 0.5 * normal(rng);
      double e = energy(b, work.data());
      if (trial % 7 == 3 && ei == 0) e = std::numeric_limits<double>::infinity();
      elite.push_back(qorv::Chain{b, e});
    }
    for (int n_deep : {0, 1, 17, 300}) {
      const qorv::DeepSettings s{n_deep, 0.015, 0.5 * (0.01 + 0.99 * (trial % 10) / 10.0),
                                 static_cast<std::uint64_t>(trial * 31)};
      const qorv::Interruption none(nullptr);
      expect_same(qorv::deep_phase(elite, energy, s, none),
                  qorv::deep_phase_sequential(elite, energy, s), "deep phase");
    }
  }
  // Tall X and elites that two or three threads cannot split evenly: the
  // team shares the rows of every step.
  {
    const int n = 30000, k = 3;
    Eigen::MatrixXd X(n, k);
    Eigen::VectorXd y(n);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < k; ++j) X(i, j) = normal(rng);
      y(i) = X(i, 1) + 0.1 * normal(rng);
    }
    const qorv::Energy energy(X, y, 20, 0.2, qorv::PenaltySpec{});
    Eigen::VectorXd work(k), b(k);
    const int threads = omp_get_max_threads();
    for (int team : {2, 3}) {
      omp_set_num_threads(team);
      for (int m : {1, 3, 5}) {
        std::vector<qorv::Chain> elite;
        for (int ei = 0; ei < m; ++ei) {
          for (int j = 0; j < k; ++j) b(j) = 0.5 * normal(rng);
          elite.push_back(qorv::Chain{b, energy(b, work.data())});
        }
        const qorv::DeepSettings s{40, 0.015, 0.3, static_cast<std::uint64_t>(m + 10 * team)};
        const qorv::Interruption none(nullptr);
        expect_same(qorv::deep_phase(elite, energy, s, none),
                    qorv::deep_phase_sequential(elite, energy, s), "deep phase, shared rows");
      }
    }
    omp_set_num_threads(threads);
  }
  // Walks long enough that the temperature sinks to the smallest subnormal,
  // where T * 0.9997 == T: the later members start from there.
  {
    Eigen::MatrixXd X(3, 1);
    X << 1.0, 2.0, 3.0;
    const Eigen::VectorXd y = 0.5 * X.col(0);
    const qorv::PenaltySpec pen{};
    const qorv::Energy energy(X, y, 20, 0.3, pen);
    Eigen::VectorXd work(1), b(1);
    std::vector<qorv::Chain> elite;
    for (double b0 : {0.1, 0.9, 0.4}) {
      b(0) = b0;
      elite.push_back(qorv::Chain{b, energy(b, work.data())});
    }
    const qorv::DeepSettings s{2600000, 0.015, 0.25, 99u};
    const qorv::Interruption none(nullptr);
    expect_same(qorv::deep_phase(elite, energy, s, none),
                qorv::deep_phase_sequential(elite, energy, s), "deep phase past underflow");
  }
}
