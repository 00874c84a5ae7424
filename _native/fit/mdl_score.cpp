#include "fit/mdl_score.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "fit/robust_stats.hpp"

namespace qorv {

double quad_form(const Eigen::VectorXd& b, const Eigen::MatrixXd& R,
                 double* work) {
  // R b accumulated column by column and then the dot product, both in
  // index order: the same bits on every machine.
  const Eigen::Index m = b.size();
  for (Eigen::Index i = 0; i < m; ++i) work[i] = 0.0;
  for (Eigen::Index j = 0; j < m; ++j) {
    const double bj = b(j);
    const double* col = R.data() + j * R.rows();
    for (Eigen::Index i = 0; i < m; ++i) work[i] = work[i] + col[i] * bj;
  }
  double s = 0.0;
  for (Eigen::Index i = 0; i < m; ++i) s = s + b(i) * work[i];
  return s;
}

double quad_form(const Eigen::VectorXd& b, const Eigen::MatrixXd& R) {
  Eigen::VectorXd Rb(b.size());
  return quad_form(b, R, Rb.data());
}

double hit_tolerance(double m) { return m > 0.0 ? 0.4 * m : 0.4; }

void check_penalty_shapes(const PenaltySpec& pen, Eigen::Index m,
                          const char* what, const char* unit) {
  const auto check = [&](const Eigen::MatrixXd* R, const char* name) {
    if (R != nullptr && (R->rows() != m || R->cols() != m))
      throw std::invalid_argument(
          std::string(name) + " is " + std::to_string(R->rows()) + " x " +
          std::to_string(R->cols()) + " but " + what + " has " +
          std::to_string(m) + " " + unit);
  };
  // Only an applied term reads its matrix, so only an applied matrix must
  // fit: one rule for the score, the search and the penalised fit.
  if (pen.term1()) check(pen.R1, "R1");
  if (pen.term2()) check(pen.R2, "R2");
}

double mdl_data_term(std::int64_t hits, std::int64_t n) {
  const double nd = static_cast<double>(n);
  const double sr = std::max(static_cast<double>(hits) / nd, 1.0 / (2.0 * nd));
  return -nd * std::log(sr);
}

double mdl_model_term(std::int64_t n, int k, int H) {
  const double nd = static_cast<double>(n);
  const double kd = static_cast<double>(k);
  const double logHk = k > 0 ? kd * std::log(2.0 * static_cast<double>(H)) : 0.0;
  return kd * (logHk / nd);
}

double mdl_hits_score(std::int64_t hits, std::int64_t n, int k, int H) {
  return mdl_data_term(hits, n) + mdl_model_term(n, k, H);
}

double mdl_add_penalties(double L, const Eigen::VectorXd& beta,
                         const PenaltySpec& pen, double* work) {
  if (pen.term1()) L = L + pen.gamma1 * quad_form(beta, *pen.R1, work);
  if (pen.term2()) L = L + pen.gamma2 * quad_form(beta, *pen.R2, work);
  return L;
}

double mdl_score_cached(const Eigen::VectorXd& yp, const Eigen::VectorXd& yt,
                        int k, int H, double eps, const Eigen::VectorXd* beta,
                        const PenaltySpec* pen) {
  const Eigen::Index n = yt.size();
  // Counted first: a short yp is reported before a penalty mismatch.
  const std::int64_t hits = count_hits(yp, yt, eps);
  if (pen != nullptr && pen->active()) {
    if (beta == nullptr)
      throw std::invalid_argument("beta is required when a penalty is applied");
    check_penalty_shapes(*pen, beta->size(), "beta", "entries");
  }
  double L = mdl_hits_score(hits, n, k, H);
  if (pen != nullptr && pen->active()) {
    Eigen::VectorXd work(beta->size());
    L = mdl_add_penalties(L, *beta, *pen, work.data());
  }
  return L;
}

double mdl_score(const Eigen::VectorXd& yp, const Eigen::VectorXd& yt, int k,
                 int H, const Eigen::VectorXd* beta, const PenaltySpec* pen) {
  return mdl_score_cached(yp, yt, k, H, hit_tolerance(mad(yt)), beta, pen);
}

}  // namespace qorv
