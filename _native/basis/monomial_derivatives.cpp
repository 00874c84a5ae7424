#include "basis/monomial_derivatives.hpp"

#include <cmath>
#include <cstdint>

namespace qorv {

namespace {

inline double first_derivative(double x, int p) {
  if (p < 1) return 0.0;
  return static_cast<double>(p) * std::pow(x, static_cast<double>(p - 1));
}

inline double second_derivative(double x, int p) {
  if (p < 2) return 0.0;
  // p (p - 1) is exact in 64 bits before the one conversion to double.
  const auto c = static_cast<std::int64_t>(p) * (p - 1);
  return static_cast<double>(c) * std::pow(x, static_cast<double>(p - 2));
}

}  // namespace

void deriv_row(double x, int deg, int order, Eigen::Ref<Eigen::VectorXd> out) {
  if (order == 1) {
    for (int p = 0; p <= deg; ++p) out(p) = first_derivative(x, p);
  } else {
    for (int p = 0; p <= deg; ++p) out(p) = second_derivative(x, p);
  }
}

void deriv_rows_1_2(double x, int deg, double* d1, double* d2) {
  // d1 first holds the powers: d1[p] = x^(p-1).
  d1[0] = 0.0;
  for (int p = 1; p <= deg; ++p) d1[p] = std::pow(x, static_cast<double>(p - 1));
  d2[0] = 0.0;
  if (deg >= 1) d2[1] = 0.0;
  for (int p = 2; p <= deg; ++p) {
    const auto c = static_cast<std::int64_t>(p) * (p - 1);
    d2[p] = static_cast<double>(c) * d1[p - 1];
  }
  for (int p = 1; p <= deg; ++p) d1[p] = static_cast<double>(p) * d1[p];
}

double col_deriv_scalar(double val, int p, int order) {
  if (order == 0) return std::pow(val, static_cast<double>(p));
  if (order == 1) return first_derivative(val, p);
  return second_derivative(val, p);
}

}  // namespace qorv
