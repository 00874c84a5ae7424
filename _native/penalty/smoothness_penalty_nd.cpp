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

AxisGram axis_gram(int degree, double lo, double hi, int n, WorkPoll& poll) {
  AxisGram g;
  g.P = degree + 1;
  const std::size_t P = static_cast<std::size_t>(g.P);
  const double step = (hi - lo) / static_cast<double>(n - 1);
  const bool flip = std::fabs(hi) < std::fabs(lo);
  const std::int64_t work_per_point =
      3 * (g.P * kDerivativeWork + std::int64_t{g.P} * (g.P + 1) / 2);
  std::vector<double> v(P);
  for (int o = 0; o < 3; ++o) g.S[o].assign(P * P, 0.0);
  // Points in increasing k: a fixed summation order.
  for (int k = 0; k < n; ++k) {
    poll.done(work_per_point);
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

// Number of tensor basis functions, prod_d (degrees[d] + 1), for degrees of
// at least 0; size_error when it cannot be held.
std::int64_t tensor_basis_size(const std::vector<int>& degrees) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t M = 1;
  for (int deg : degrees) {
    const std::int64_t f = static_cast<std::int64_t>(deg) + 1;
    if (M > kMax / f)
      throw size_error("tensor basis of " + std::to_string(degrees.size()) +
                       " variables has more than 2^63 functions");
    M *= f;
  }
  checked_elements(M, M, 2 * sizeof(double), "penalty matrices R1 and R2");
  return M;
}

// The one-axis Gram matrices of the axes of positive degree ("active"
// axes), and the common factor of the others. An axis of degree 0 carries
// only the constant power: order 0 sums to n points times the step, its
// derivatives vanish, so it multiplies every term alike.
struct AxisTables {
  double constant_factor = 1.0;
  std::vector<std::size_t> active;  // the active axes, increasing
  std::vector<AxisGram> gram;       // one per active axis
};

AxisTables axis_tables(const std::vector<int>& degrees,
                       const std::vector<std::pair<double, double>>& bounds, int n,
                       WorkPoll& poll) {
  AxisTables t;
  for (std::size_t d = 0; d < degrees.size(); ++d) {
    const double lo = bounds[d].first, hi = bounds[d].second;
    if (degrees[d] == 0) {
      const double step = (hi - lo) / static_cast<double>(n - 1);
      t.constant_factor = (step * static_cast<double>(n)) * t.constant_factor;
    } else {
      t.active.push_back(d);
      t.gram.push_back(axis_gram(degrees[d], lo, hi, n, poll));
    }
  }
  return t;
}

// Entry (a, b) of R1 and R2 from the active axes' factors of that pair,
// f_o[t] = S_t^o(p_a, p_b), with the suffix products of the order-0 factors
// in `suffix` (A + 1 entries, suffix[A] = 1). One forward pass gives
//   R1 = sum_i f1_i prod_{d != i} f0_d,
//   R2 = sum_i f2_i prod_{d != i} f0_d + 2 sum_{i<j} f1_i f1_j prod_{d != i,j} f0_d
// (each unordered axis pair stands for both of its orders). Terms with a
// vanishing derivative factor are skipped, so an entry that is zero term by
// term stays exactly zero even where other factors overflow.
struct PairEntry {
  double r1, r2;
};

PairEntry pair_entry(const double* f0, const double* f1, const double* f2,
                     const double* suffix, std::size_t A, double constant_factor) {
  double prefix = 1.0;        // prod of f0 before axis t
  double first_before = 0.0;  // sum over i < t of f1_i prod_{d < t, d != i} f0_d
  bool any_first_before = false;
  double gradient = 0.0, pure_second = 0.0, mixed_second = 0.0;
  bool any_gradient = false, any_hessian = false;
  for (std::size_t t = 0; t < A; ++t) {
    const double after = suffix[t + 1];
    if (f1[t] != 0.0) {
      gradient += (prefix * f1[t]) * after;
      any_gradient = true;
      if (any_first_before) {
        mixed_second += (first_before * f1[t]) * after;
        any_hessian = true;
      }
    }
    if (f2[t] != 0.0) {
      pure_second += (prefix * f2[t]) * after;
      any_hessian = true;
    }
    if (any_first_before) first_before = first_before * f0[t];
    if (f1[t] != 0.0) {
      first_before = any_first_before ? first_before + prefix * f1[t] : prefix * f1[t];
      any_first_before = true;
    }
    prefix = prefix * f0[t];
  }
  const auto scaled = [constant_factor](double s, bool any) {
    if (any) return constant_factor * s;
    return std::isnan(constant_factor) ? constant_factor : 0.0;
  };
  return {scaled(gradient, any_gradient), scaled(pure_second + 2.0 * mixed_second, any_hessian)};
}

// Writes every entry of R1 and R2: pair by pair over the lower triangle,
// each entry mirrored at once.
void accumulate_pairs(const MultiIndices& mi, const AxisTables& tables,
                      PenaltyMatricesND& out, WorkPoll& poll) {
  const auto M = static_cast<std::int64_t>(mi.size());
  const std::size_t A = tables.active.size();
  // Exponents of the active axes, M x A row-major.
  std::vector<int> ex(static_cast<std::size_t>(M) * A);
  for (std::int64_t m = 0; m < M; ++m)
    for (std::size_t t = 0; t < A; ++t)
      ex[static_cast<std::size_t>(m) * A + t] = mi[static_cast<std::size_t>(m)][tables.active[t]];

  std::vector<double> f0(A), f1(A), f2(A), suffix(A + 1);
  for (std::int64_t b = 0; b < M; ++b) {
    poll.done((M - b) * static_cast<std::int64_t>(A + 1) * 8);
    const int* eb = ex.data() + static_cast<std::size_t>(b) * A;
    for (std::int64_t a = b; a < M; ++a) {
      const int* ea = ex.data() + static_cast<std::size_t>(a) * A;
      for (std::size_t t = 0; t < A; ++t) {
        f0[t] = tables.gram[t].at(0, ea[t], eb[t]);
        f1[t] = tables.gram[t].at(1, ea[t], eb[t]);
        f2[t] = tables.gram[t].at(2, ea[t], eb[t]);
      }
      suffix[A] = 1.0;
      for (std::size_t t = A; t-- > 0;) suffix[t] = f0[t] * suffix[t + 1];
      const PairEntry e =
          pair_entry(f0.data(), f1.data(), f2.data(), suffix.data(), A, tables.constant_factor);
      out.R1(a, b) = e.r1;
      out.R1(b, a) = e.r1;
      out.R2(a, b) = e.r2;
      out.R2(b, a) = e.r2;
    }
  }
}

}  // namespace

PenaltyMatricesND build_penalty_matrices_nd(
    const std::vector<int>& degrees,
    const std::vector<std::pair<double, double>>& bounds, int n_grid_per_dim,
    InterruptCheck interrupt) {
  if (bounds.size() != degrees.size())
    throw std::invalid_argument("Dimension mismatch.");
  if (n_grid_per_dim < 2) throw std::invalid_argument("n_grid_per_dim < 2");
  for (std::size_t d = 0; d < degrees.size(); ++d)
    if (degrees[d] < -1)
      throw size_error("degrees[" + std::to_string(d) + "] = " +
                       std::to_string(degrees[d]) +
                       " gives a negative number of powers");
  PenaltyMatricesND out;
  for (int deg : degrees)
    if (deg == -1) {  // no basis function at all
      out.R1.resize(0, 0);
      out.R2.resize(0, 0);
      return out;
    }

  const std::int64_t M = tensor_basis_size(degrees);
  {
    std::vector<int> current(degrees.size(), 0);
    generate_multi_indices(degrees, 0, current, out.multi_indices);
  }
  // A long axis, or a basis of tens of thousands, takes minutes: let the
  // caller stop it.
  WorkPoll poll(interrupt);
  const AxisTables tables = axis_tables(degrees, bounds, n_grid_per_dim, poll);
  // Every entry is written by the pair loop, which polls: zero-filling
  // gigabytes first would keep Ctrl-C waiting.
  out.R1.resize(M, M);
  out.R2.resize(M, M);
  accumulate_pairs(out.multi_indices, tables, out, poll);
  return out;
}

}  // namespace qorv
