#include "fit/mdl_score.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "fit/robust_stats.hpp"

namespace qorv {

double quad_form(const Eigen::VectorXd& b, const Eigen::MatrixXd& R) {
  // Rb accumulated column by column (fixed order), then the dot product in
  // index order: one temporary, no dependence on vector width.
  const Eigen::Index m = b.size();
  Eigen::VectorXd Rb = Eigen::VectorXd::Zero(m);
  for (Eigen::Index j = 0; j < m; ++j) {
    const double bj = b(j);
    const double* col = R.data() + j * R.rows();
    for (Eigen::Index i = 0; i < m; ++i) Rb(i) = Rb(i) + col[i] * bj;
  }
  double s = 0.0;
  for (Eigen::Index i = 0; i < m; ++i) s = s + b(i) * Rb(i);
  return s;
}

double hit_tolerance(double m) { return m > 0.0 ? 0.4 * m : 0.4; }

void check_penalty_shapes(const PenaltySpec& pen, Eigen::Index m,
                          const char* coef) {
  const auto check = [&](const Eigen::MatrixXd* R, const char* name) {
    if (R->rows() != m || R->cols() != m)
      throw std::invalid_argument(
          std::string(name) + " is " + std::to_string(R->rows()) + " x " +
          std::to_string(R->cols()) + " but " + coef + " has " +
          std::to_string(m) + " entries");
  };
  if (pen.term1()) check(pen.R1, "R1");
  if (pen.term2()) check(pen.R2, "R2");
}

double mdl_score_from_hits(std::int64_t hits, std::int64_t n, int k, int H,
                           const Eigen::VectorXd* beta,
                           const PenaltySpec* pen) {
  const double nd = static_cast<double>(n);
  const double sr = std::max(static_cast<double>(hits) / nd, 1.0 / (2.0 * nd));
  const double kd = static_cast<double>(k);
  const double logHk = k > 0 ? kd * std::log(2.0 * static_cast<double>(H)) : 0.0;
  double L = -nd * std::log(sr) + kd * (logHk / nd);
  if (pen != nullptr && pen->active()) {
    if (pen->term1()) L = L + pen->gamma1 * quad_form(*beta, *pen->R1);
    if (pen->term2()) L = L + pen->gamma2 * quad_form(*beta, *pen->R2);
  }
  return L;
}

double mdl_score_cached(const Eigen::VectorXd& yp, const Eigen::VectorXd& yt,
                        int k, int H, double eps, const Eigen::VectorXd* beta,
                        const PenaltySpec* pen) {
  const Eigen::Index n = yt.size();
  if (yp.size() < n)
    throw std::invalid_argument("yp has " + std::to_string(yp.size()) +
                                " entries but yt has " + std::to_string(n));
  if (pen != nullptr && pen->active()) {
    if (beta == nullptr)
      throw std::invalid_argument("beta is required when a penalty is applied");
    check_penalty_shapes(*pen, beta->size(), "beta");
  }
  Eigen::Index hits = 0;
  const double* p = yp.data();
  const double* t = yt.data();
  for (Eigen::Index i = 0; i < n; ++i) hits += std::abs(p[i] - t[i]) < eps;
  return mdl_score_from_hits(hits, n, k, H, beta, pen);
}

double mdl_score(const Eigen::VectorXd& yp, const Eigen::VectorXd& yt, int k,
                 int H, const Eigen::VectorXd* beta, const PenaltySpec* pen) {
  return mdl_score_cached(yp, yt, k, H, hit_tolerance(mad(yt)), beta, pen);
}

}  // namespace qorv
