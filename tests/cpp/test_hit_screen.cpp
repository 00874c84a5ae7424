// The search's energy counts hits in single precision where it can prove the
// answer, and must give exactly the hits of the double sum everywhere. The
// targets put many rows on, just inside and just outside the tolerance for
// the first vector, at distances from 2^-52 to 10^-1 relative, and between
// its double and its single-precision sum, where the two precisions
// disagree; other rows hold non-finite, huge, tiny and subnormal values. Compared against the sums formed one row at a
// time, for single and batched evaluation on one and two threads.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "search/energy.hpp"
#include "search/hit_screen.hpp"

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

// Hits of vector b over the rows [r0, r0 + len) (rows past n never hit).
std::int64_t exact_hits(const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
                        const Eigen::VectorXd& p, double eps, Eigen::Index r0,
                        Eigen::Index len) {
  std::int64_t h = 0;
  for (Eigen::Index i = r0; i < std::min<Eigen::Index>(r0 + len, X.rows()); ++i)
    h += std::abs(p(i) - y(i)) < eps;
  return h;
}

// The screen on its own, with few undecided rows so that it keeps its
// counts: most rows lie 10^-2.5 to 10^-1 (relative) inside or outside the
// tolerance, one row in 1000 between the two precisions' sums. Its counts
// plus the exact counts of the blocks it leaves undecided must be the
// exact counts, and where the bound is small it must decide most blocks.
void check_screen(int n, int k, double scale, std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double eps = 0.05;
  Eigen::MatrixXd X(n, k);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < k; ++j) X(i, j) = scale * normal(rng);
  std::vector<Eigen::VectorXd> b(3, Eigen::VectorXd(k));
  for (auto& v : b)
    for (int j = 0; j < k; ++j) v(j) = 0.5 * normal(rng);
  std::vector<Eigen::VectorXd> p;
  for (const auto& v : b) p.push_back(row_sums(X, v));
  Eigen::VectorXd y(n);
  for (int i = 0; i < n; ++i) {
    const int v = (i / 64) % 3;  // the vector this row is placed against
    const double side = unit(rng) < 0.5 ? 1.0 : -1.0;
    y(i) = i % 1000 == 7
               ? p[v](i) + side * eps + 0.5 * (single_sum(X, b[v], i) - p[v](i))
               : p[v](i) + side * eps * (1.0 + std::pow(10.0, -1.0 - 1.5 * unit(rng)) *
                                                   (unit(rng) < 0.5 ? 1.0 : -1.0));
  }
  const Eigen::Index rows = (n + 63) / 64 * 64;
  const qorv::HitScreen screen(X, y, eps, rows);
  char what[80];
  std::snprintf(what, sizeof what, "screen alone n=%d k=%d scale=%g", n, k, scale);
  if (!qorv_test::expect(screen.active(), what)) return;
  const int shared = screen.shared();
  bool exact = true;
  Eigen::Index blocks = 0, undecided = 0;
  for (Eigen::Index r0 = 0; r0 < rows; r0 += 1024) {
    const Eigen::Index len = std::min<Eigen::Index>(1024, rows - r0);
    for (int c = 0; c < 3; c += shared) {
      const int m = std::min(shared, 3 - c);
      const double* bp[3] = {b[c].data(), m > 1 ? b[c + 1].data() : nullptr,
                             m > 2 ? b[c + 2].data() : nullptr};
      std::int64_t h[3];
      qorv::RowSpan spans[16];
      const int u = screen.count(bp, m, r0, len, h, spans, 16);
      blocks += len / 64;
      if (u < 0) {
        undecided += len / 64;
        continue;
      }
      for (int s = 0; s < u; ++s) undecided += spans[s].len / 64;
      for (int v = 0; v < m; ++v) {
        std::int64_t got = h[v];
        for (int s = 0; s < u; ++s)
          got += exact_hits(X, y, p[c + v], eps, spans[s].r0, spans[s].len);
        exact = exact && got == exact_hits(X, y, p[c + v], eps, r0, len);
      }
    }
  }
  qorv_test::expect(exact, what);
  if (scale <= 1.0) qorv_test::expect(2 * undecided < blocks, what);
}

// Sums near 10^6 make the bound larger than the tolerance, so the screen
// decides no block: after its trial passes it is given up, and the energies
// stay exact before, while and after.
void check_given_up(std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  const int n = 3000, k = 6;
  const double eps = 0.05;
  Eigen::MatrixXd X(n, k);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < k; ++j) X(i, j) = (j == 0 ? 1e6 : 1.0) * normal(rng);
  Eigen::VectorXd b(k);
  for (int j = 0; j < k; ++j) b(j) = 0.5 * normal(rng);
  const Eigen::VectorXd p = row_sums(X, b);
  Eigen::VectorXd y(n);
  for (int i = 0; i < n; ++i) y(i) = p(i) + (i % 2 ? eps : -eps) * (1.0 + 1e-3 * normal(rng));
  const qorv::PenaltySpec none{};
  const qorv::Energy energy(X, y, 20, eps, none);
  Eigen::VectorXd work(k);
  bool same = true;
  for (int step = 0; step < 400; ++step) {
    Eigen::VectorXd c = b;
    c(step % k) += 1e-9 * normal(rng);
    same = same && same_bits(energy(c, work.data()),
                             qorv::mdl_score_cached(row_sums(X, c), y, k, 20, eps, &c, &none));
  }
  qorv_test::expect(same, "screen given up");
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
  for (int k : {6, 10, 17})
    for (double scale : {1.0, 30.0, 1e3}) check_screen(4099, k, scale, rng);
  check_given_up(rng);
}
