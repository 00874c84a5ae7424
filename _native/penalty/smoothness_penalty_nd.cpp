#include "penalty/smoothness_penalty_nd.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "basis/monomial_derivatives.hpp"
#include "common/size_guard.hpp"

// Grid, weights and basis are all tensor products, so every grid sum of a
// product of one-axis factors is the product of the one-axis sums:
//
//   sum over g of prod_d f_d(k_d(g)) = prod_d sum_k f_d(k).
//
// Each entry of R1 and R2 is therefore a sum, over the axis (pair) of the
// derivative, of products over the axes of entries of small one-axis Gram
// matrices S_d^o(p, q) = step_d * sum_k D^o x^p D^o x^q at the axis points.
// The weight dV = prod_d step_d is spread over the axes (one step per
// axis Gram) rather than applied at the end: the same value, but it cannot
// underflow against a product of point counts that overflows when there are
// many axes.

namespace qorv {

namespace {

// Point k of n >= 2 evenly spaced points from lo to hi, both ends exact; an
// interior point is measured from the end of larger magnitude.
double axis_point(int k, int n, double lo, double hi, double step, bool flip) {
  if (k == 0) return lo;
  if (k == n - 1) return hi;
  if (flip) return std::fma(-static_cast<double>(n - 1 - k), step, hi);
  return std::fma(static_cast<double>(k), step, lo);
}

// The three step-weighted Gram matrices (orders 0, 1, 2) of one axis with
// P = degree + 1 powers, each P x P column-major, exactly symmetric.
struct AxisGram {
  int P = 0;
  std::vector<double> S[3];
  double at(int o, int p, int q) const {
    return S[o][static_cast<std::size_t>(q) * P + p];
  }
};

AxisGram axis_gram(int degree, double lo, double hi, int n,
                   PollEvery<4096>& poll) {
  AxisGram g;
  g.P = degree + 1;
  const std::size_t P = static_cast<std::size_t>(g.P);
  const double step = (hi - lo) / static_cast<double>(n - 1);
  const bool flip = std::fabs(hi) < std::fabs(lo);
  std::vector<double> v(P);
  for (int o = 0; o < 3; ++o) g.S[o].assign(P * P, 0.0);
  // Points in increasing k: a fixed summation order.
  for (int k = 0; k < n; ++k) {
    poll.poll();
    const double x = axis_point(k, n, lo, hi, step, flip);
    for (int o = 0; o < 3; ++o) {
      for (std::size_t p = 0; p < P; ++p)
        v[p] = col_deriv_scalar(x, static_cast<int>(p), o);
      double* S = g.S[o].data();
      for (std::size_t q = 0; q < P; ++q)
        for (std::size_t p = q; p < P; ++p) S[q * P + p] += v[p] * v[q];
    }
  }
  for (int o = 0; o < 3; ++o) {
    double* S = g.S[o].data();
    for (std::size_t q = 0; q < P; ++q)
      for (std::size_t p = q; p < P; ++p) {
        S[q * P + p] = step * S[q * P + p];
        S[p * P + q] = S[q * P + p];
      }
  }
  return g;
}

}  // namespace

PenaltyMatricesND build_penalty_matrices_nd(
    const std::vector<int>& degrees,
    const std::vector<std::pair<double, double>>& bounds, int n_grid_per_dim,
    InterruptCheck interrupt) {
  if (bounds.size() != degrees.size())
    throw std::invalid_argument("Dimension mismatch.");
  if (n_grid_per_dim < 2) throw std::invalid_argument("n_grid_per_dim < 2");
  const std::size_t D = degrees.size();
  const int n = n_grid_per_dim;

  for (std::size_t d = 0; d < D; ++d)
    if (degrees[d] < -1)
      throw size_error("degrees[" + std::to_string(d) + "] = " +
                       std::to_string(degrees[d]) +
                       " gives a negative number of powers");
  PenaltyMatricesND out;
  for (std::size_t d = 0; d < D; ++d)
    if (degrees[d] == -1) {  // no basis function at all
      out.R1.resize(0, 0);
      out.R2.resize(0, 0);
      return out;
    }

  // The basis size, before the list is enumerated.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t M = 1;
  for (std::size_t d = 0; d < D; ++d) {
    const std::int64_t f = static_cast<std::int64_t>(degrees[d]) + 1;
    if (M > kMax / f)
      throw size_error("tensor basis of " + std::to_string(D) +
                       " variables has more than 2^63 functions");
    M *= f;
  }
  checked_elements(M, M, 2 * sizeof(double), "penalty matrices R1 and R2");

  {
    std::vector<int> current(D, 0);
    generate_multi_indices(degrees, 0, current, out.multi_indices);
  }
  const MultiIndices& mi = out.multi_indices;

  // Axes of degree 0 carry only the constant power: order 0 sums to n
  // points times the step, the derivatives vanish. Their factor is common
  // to every term; only the other ("active") axes enter the pair loop.
  double c0 = 1.0;
  PollEvery<4096> poll(interrupt);  // a long axis takes minutes: let the caller stop it
  std::vector<std::size_t> active;
  std::vector<AxisGram> gram;
  for (std::size_t d = 0; d < D; ++d) {
    const double lo = bounds[d].first, hi = bounds[d].second;
    if (degrees[d] == 0) {
      const double step = (hi - lo) / static_cast<double>(n - 1);
      c0 = (step * static_cast<double>(n)) * c0;
    } else {
      active.push_back(d);
      gram.push_back(axis_gram(degrees[d], lo, hi, n, poll));
    }
  }
  const std::size_t A = active.size();

  // Exponents of the active axes, M x A row-major.
  std::vector<int> ex(static_cast<std::size_t>(M) * A);
  for (std::int64_t m = 0; m < M; ++m)
    for (std::size_t t = 0; t < A; ++t)
      ex[static_cast<std::size_t>(m) * A + t] = mi[static_cast<std::size_t>(m)][active[t]];

  out.R1 = Eigen::MatrixXd::Zero(M, M);
  out.R2 = Eigen::MatrixXd::Zero(M, M);

  // Per pair (a, b): f_o[t] = S_t^o(p, q), suffix products of order-0
  // factors, then one forward pass for
  //   R1 = sum_i f1_i prod_{d != i} f0_d,
  //   R2 = sum_i f2_i prod_{d != i} f0_d + 2 sum_{i<j} f1_i f1_j prod_{d != i,j} f0_d
  // (each unordered axis pair stands for both of its orders). Terms with a
  // vanishing derivative factor are skipped, so an entry that is zero
  // term by term stays exactly zero even where other factors overflow.
  std::vector<double> f0(A), f1(A), f2(A), suffix(A + 1);
  const auto finish = [c0](double s, bool any) {
    if (any) return c0 * s;
    return std::isnan(c0) ? c0 : 0.0;
  };
  for (std::int64_t b = 0; b < M; ++b) {
    poll.poll();  // a basis of tens of thousands takes minutes here too
    const int* eb = ex.data() + static_cast<std::size_t>(b) * A;
    for (std::int64_t a = b; a < M; ++a) {
      const int* ea = ex.data() + static_cast<std::size_t>(a) * A;
      for (std::size_t t = 0; t < A; ++t) {
        f0[t] = gram[t].at(0, ea[t], eb[t]);
        f1[t] = gram[t].at(1, ea[t], eb[t]);
        f2[t] = gram[t].at(2, ea[t], eb[t]);
      }
      suffix[A] = 1.0;
      for (std::size_t t = A; t-- > 0;) suffix[t] = f0[t] * suffix[t + 1];

      double prefix = 1.0;   // prod of f0 before axis t
      double open = 0.0;     // sum over i < t of f1_i prod_{i<d<t} f0_d prod_{d<i} f0_d
      bool open_any = false;
      double r1 = 0.0, pure = 0.0, mixed = 0.0;
      bool any1 = false, any2 = false;
      for (std::size_t t = 0; t < A; ++t) {
        const double after = suffix[t + 1];
        if (f1[t] != 0.0) {
          r1 += (prefix * f1[t]) * after;
          any1 = true;
          if (open_any) {
            mixed += (open * f1[t]) * after;
            any2 = true;
          }
        }
        if (f2[t] != 0.0) {
          pure += (prefix * f2[t]) * after;
          any2 = true;
        }
        if (open_any) open = open * f0[t];
        if (f1[t] != 0.0) {
          open = open_any ? open + prefix * f1[t] : prefix * f1[t];
          open_any = true;
        }
        prefix = prefix * f0[t];
      }
      const double v1 = finish(r1, any1);
      const double v2 = finish(pure + 2.0 * mixed, any2);
      out.R1(a, b) = v1;
      out.R1(b, a) = v1;
      out.R2(a, b) = v2;
      out.R2(b, a) = v2;
    }
  }
  return out;
}

}  // namespace qorv
