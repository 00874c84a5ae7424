// Description-length score of a fitted model.
#pragma once

#include <Eigen/Dense>
#include <cstdint>

namespace qorv {

// The H of the size term when the caller gives none (the score's and the
// search's default alike).
inline constexpr int kDefaultH = 20;

// Optional smoothness penalties: matrices owned elsewhere, with weights.
struct PenaltySpec {
  const Eigen::MatrixXd* R1 = nullptr;
  const Eigen::MatrixXd* R2 = nullptr;
  double gamma1 = 0.0;
  double gamma2 = 0.0;

  // A term is applied when its matrix is present and its weight is not
  // exactly 0.0 (so a NaN weight applies).
  bool term1() const { return R1 != nullptr && gamma1 != 0.0; }
  bool term2() const { return R2 != nullptr && gamma2 != 0.0; }
  bool active() const { return term1() || term2(); }
};

// b^T R b as the dot product of b with R b. Empty vectors give 0.
double quad_form(const Eigen::VectorXd& b, const Eigen::MatrixXd& R);

// -n ln(sr) + k (logHk / n) with sr = compute_SR(yp, yt, eps) and
// logHk = k ln(2H) for k > 0 (else 0), plus gamma * quad_form(beta, R) for
// each applied penalty, R1 first.
//
// Inputs:
//   yp    predictions, at least n entries
//   yt    n targets
//   k, H  model size and the H of the size term
//   eps   hit tolerance
//   beta  coefficients, required when pen is active, M entries
//   pen   optional penalties with M x M matrices
// Throws std::invalid_argument when yp is shorter than yt, an active penalty
// comes without beta, or an applied matrix is not beta.size() square.
double mdl_score_cached(const Eigen::VectorXd& yp, const Eigen::VectorXd& yt,
                        int k, int H, double eps,
                        const Eigen::VectorXd* beta = nullptr,
                        const PenaltySpec* pen = nullptr);

// The same, with eps = 0.4 * mad(yt) when that spread is positive, else 0.4.
double mdl_score(const Eigen::VectorXd& yp, const Eigen::VectorXd& yt, int k,
                 int H, const Eigen::VectorXd* beta = nullptr,
                 const PenaltySpec* pen = nullptr);

// Hit tolerance derived from the targets: 0.4 * m for a positive spread m,
// 0.4 otherwise (also for NaN).
double hit_tolerance(double m);

// Pieces of the score, shared by mdl_score_cached and the search's fused
// evaluation so that both give the same bits.
//   mdl_data_term:  -n ln(max(hits / n, 1 / (2n)))
//   mdl_model_term: k (logHk / n), logHk = k ln(2H) for k > 0, else 0
//   mdl_add_penalties: L + gamma1 quad_form(beta, R1), then + gamma2
//     quad_form(beta, R2), for the applied terms; `work` holds beta.size()
//     doubles (the temporary R b).
double mdl_data_term(std::int64_t hits, std::int64_t n);
double mdl_model_term(std::int64_t n, int k, int H);

// mdl_data_term(hits, n) + mdl_model_term(n, k, H): the unpenalised score
// of mdl_score_cached for a known hit count, so that a caller who counted
// the hits elsewhere gets the score's bits.
double mdl_hits_score(std::int64_t hits, std::int64_t n, int k, int H);
double mdl_add_penalties(double L, const Eigen::VectorXd& beta,
                         const PenaltySpec& pen, double* work);

// b^T R b with the temporary R b in `work` (b.size() doubles).
double quad_form(const Eigen::VectorXd& b, const Eigen::MatrixXd& R,
                 double* work);

// Throws std::invalid_argument unless every applied matrix of pen (present,
// weight not exactly 0.0) is m x m; a matrix that is not applied is not read.
// The message reads "R1 is r x c but <what> has m <unit>", e.g. what =
// "beta", unit = "entries".
void check_penalty_shapes(const PenaltySpec& pen, Eigen::Index m,
                          const char* what, const char* unit);

}  // namespace qorv
