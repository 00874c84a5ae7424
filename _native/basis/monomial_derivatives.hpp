// Derivatives of the monomials x^p, for the penalty builders.
#pragma once

#include <Eigen/Dense>
#include <cstdint>

namespace qorv {

// What one derivative entry costs (a power evaluation), in multiply-adds:
// the unit in which the penalty builders count work between interrupt
// checks.
constexpr std::int64_t kDerivativeWork = 16;

// Writes the derivative of order `order` (1 or 2) of x^p at x into out(p),
// p = 0 ... deg: p * x^(p-1) or p(p-1) * x^(p-2) through the math library's
// pow, exact zeros where p < order. Allocates nothing.
//
// Inputs:
//   x      point
//   deg    highest power, deg >= 0
//   order  1 or 2
// Output:
//   out    caller-owned vector of deg + 1 entries, every entry overwritten
void deriv_row(double x, int deg, int order, Eigen::Ref<Eigen::VectorXd> out);

// Derivative of order `order` (0, 1 or 2) of x^p at val: pow(val, p),
// p * pow(val, p-1) or p(p-1) * pow(val, p-2), exact zeros where p < order.
double col_deriv_scalar(double val, int p, int order);

}  // namespace qorv
