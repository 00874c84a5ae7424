// The search's energy counts hits in single precision where it can prove the
// answer, and must give exactly the hits of the double sum everywhere. The
// targets put many rows on, just inside and just outside the tolerance for
// the first vector, at distances from 2^-52 to 10^-1 relative, and between
// its double and its single-precision sum, where the two precisions
// disagree; other rows hold non-finite, huge, tiny and subnormal values. Compared against the sums formed one row at a
// time, for single and batched evaluation on one and two threads.
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "search/energy.hpp"

namespace {

using qorv_test::same_bits;

// The sum of the definition: products rounded, added in column order.
Eigen::VectorXd row_sums(const Eigen::MatrixXd& X, const Eigen::VectorXd& b) {
  Eigen::VectorXd p(X.rows());
  for (Eigen::Index i = 0; i < X.rows(); ++i) {
    double s = X.cols() > 0 ? X(i, 0) * b(0) : 0.0;
    for (Eigen::Index j = 1; j < X.cols(); ++j) s = s + X(i, j) * b(j);
    p(i) = s;
  }
  return p;
}

// The same sum in single precision, as the screen forms it.
double single_sum(const Eigen::MatrixXd& X, const Eigen::VectorXd& b, Eigen::Index i) {
  float s = static_cast<float>(X(i, 0)) * static_cast<float>(b(0));
  for (Eigen::Index j = 1; j < X.cols(); ++j)
    s = s + static_cast<float>(X(i, j)) * static_cast<float>(b(j));
  return s;
}

struct Case {
  int n, k;
  double scale;  // entries' size: large ones make large rounding errors
  double eps;
  int wide_rows;  // rows with an entry beyond 2^50
};

void check_case(const Case& c, std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  Eigen::MatrixXd X(c.n, c.k);
  for (int i = 0; i < c.n; ++i)
    for (int j = 0; j < c.k; ++j) X(i, j) = c.scale * normal(rng);
  std::vector<Eigen::VectorXd> b(7, Eigen::VectorXd(c.k));
  for (auto& v : b)
    for (int j = 0; j < c.k; ++j) v(j) = 0.5 * normal(rng);
  if (c.k > 1) {
    b[1](0) = 0.0;
    b[1](1) = -0.0;
    b[5](c.k - 1) = 0x1p51;  // beyond the screen: counted exactly
    b[6](0) = std::nan("");
  }
  for (int i = 0; i < c.n && c.k > 1; i += 37) X(i, 1) = 1e-300;
  for (int i = 3; i < c.n && c.k > 1; i += 41) X(i, c.k - 1) = 4.9e-324;
  for (int w = 0; w < c.wide_rows; ++w) X((w * 131) % c.n, 0) = 0x1p52;
  // Targets around the first vector's sums: at signed relative distances
  // from the tolerance, or where the double and the single-precision sum
  // fall on either side of it (only a sound bound leaves those undecided).
  const Eigen::VectorXd p = row_sums(X, b[0]);
  const double rel[] = {0.0, 0x1p-52, 1e-9, 1e-6, 1e-4, 1e-2, 0.1};
  Eigen::VectorXd y(c.n);
  for (int i = 0; i < c.n; ++i) {
    const double side = (i / 4) % 2 == 0 ? 1.0 : -1.0;
    if (i % 4 == 0) {
      y(i) = p(i) + side * c.eps * (1.0 + rel[(i / 8) % 7] * (i % 3 == 0 ? -1.0 : 1.0));
    } else if (i % 4 == 3) {
      y(i) = p(i) + normal(rng);
    } else {
      y(i) = p(i) + side * c.eps + (i % 4) / 3.0 * (single_sum(X, b[0], i) - p(i));
    }
  }
  for (int i = 5; i < c.n; i += 97) X(i, 0) = i % 2 ? std::numeric_limits<double>::infinity()
                                                    : std::nan("");
  for (int i = 7; i < c.n; i += 89) y(i) = i % 2 ? -std::numeric_limits<double>::infinity()
                                                 : std::nan("");

  const qorv::PenaltySpec none{};
  const qorv::Energy energy(X, y, 20, c.eps, none);
  Eigen::VectorXd work(c.k);
  std::vector<double> want(b.size());
  bool single = true;
  for (std::size_t v = 0; v < b.size(); ++v) {
    want[v] = qorv::mdl_score_cached(row_sums(X, b[v]), y, c.k, 20, c.eps, &b[v], &none);
    single = single && same_bits(energy(b[v], work.data()), want[v]);
  }
  char what[96];
  std::snprintf(what, sizeof what, "screened energy n=%d k=%d scale=%g eps=%g", c.n, c.k,
                c.scale, c.eps);
  qorv_test::expect(single, what);
  for (int threads : {1, 2})
    for (std::size_t m = 1; m <= b.size(); m += 2) {
      const std::vector<Eigen::VectorXd> some(b.begin(), b.begin() + static_cast<long>(m));
      std::vector<double> got(m);
      std::vector<std::int64_t> hits(qorv::Energy::hits_scratch(m, threads));
      energy(some, got.data(), hits.data(), work.data(), threads);
      bool same = true;
      for (std::size_t v = 0; v < m; ++v) same = same && same_bits(got[v], want[v]);
      qorv_test::expect(same, what);
    }
}

}  // namespace

void test_hit_screen() {
  std::mt19937_64 rng(2026);
  for (int n : {1, 65, 511, 577, 1000, 5003})
    for (int k : {1, 3, 6, 10, 17}) check_case(Case{n, k, 1.0, 0.05, 0}, rng);
  for (double scale : {30.0, 1e3, 1e6}) check_case(Case{5003, 10, scale, 0.05, 4}, rng);
  check_case(Case{3000, 6, 1.0, 0.05, 40}, rng);    // too many huge rows to screen
  check_case(Case{3000, 6, 1.0, 1e-13, 0}, rng);    // a tolerance too fine to screen
  check_case(Case{3000, 6, 1.0, 3.0, 0}, rng);
  check_case(Case{200, 1025, 1.0, 0.05, 0}, rng);   // more columns than it screens
}
