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

// Both derivative rows at x at once, d1[p] and d2[p] for p = 0 ... deg, with
// exactly the values of deriv_row(x, deg, 1, .) and deriv_row(x, deg, 2, .):
// the power x^(p-1) of d1[p] is the x^((p+1)-2) of d2[p+1], so each power is
// one pow call instead of two. Allocates nothing.
void deriv_rows_1_2(double x, int deg, double* d1, double* d2);

// Derivative of order `order` (0, 1 or 2) of x^p at val: pow(val, p),
// p * pow(val, p-1) or p(p-1) * pow(val, p-2), exact zeros where p < order.
double col_deriv_scalar(double val, int p, int order);

}  // namespace qorv
