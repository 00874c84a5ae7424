// The entries that are more than a direct binding of one core routine: each
// converts what the binding library does not, calls exactly one core routine
// and packs its result. Arrays read in place are borrowed last, after every
// other argument has been converted (see InPlace).
#pragma once

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "basis/design_matrix_1d.hpp"
#include "basis/design_matrix_nd.hpp"
#include "binding/conversions.hpp"
#include "fit/mdl_score.hpp"
#include "fit/ols.hpp"
#include "fit/regularized_fit.hpp"
#include "fit/robust_stats.hpp"
#include "penalty/smoothness_penalty_1d.hpp"
#include "penalty/smoothness_penalty_nd.hpp"
#include "search/tournament_mcmc.hpp"

namespace qorv_py {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// Lets Ctrl-C stop a long search or penalty grid: the core calls this on
// the calling thread only, which holds the interpreter lock throughout. No
// argument is read in place by those entries, so a Python signal handler
// run from here cannot pull memory from under the core.
inline void raise_pending_signal() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

inline double mad_adapter(VectorIn& y) { return qorv::mad(y.borrow()); }

inline double compute_sr_adapter(VectorIn& yp, VectorIn& yt, double eps) {
  return qorv::compute_SR(yp.borrow(), yt.borrow(), eps);
}

inline VectorXd ols_adapter(MatrixIn& X, VectorIn& y) {
  return qorv::ols(X.borrow(), y.borrow());
}

inline double mdl_score_adapter(const VectorXd& yp, const VectorXd& yt, int k, int H) {
  return qorv::mdl_score(yp, yt, k, H, nullptr, nullptr);
}

inline double mdl_score_reg_adapter(const VectorXd& yp, const VectorXd& yt, int k, int H,
                                    const VectorXd& beta, const MatrixXd& R1,
                                    const MatrixXd& R2, double gamma1, double gamma2) {
  const qorv::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
  return qorv::mdl_score(yp, yt, k, H, &beta, &pen);
}

inline py::tuple smoothness_penalty_1d_adapter(int deg, double x_min, double x_max,
                                               int n_grid) {
  qorv::PenaltyMatrices1D r = qorv::smoothness_penalty_matrices_1d(
      deg, x_min, x_max, n_grid, &raise_pending_signal);
  return py::make_tuple(std::move(r.R1), std::move(r.R2));
}

inline MatrixXd design_matrix_nd_adapter(Sequence<qorv::MultiIndices>& multi_indices,
                                         Sequence<std::vector<VectorXd>>& X_cols) {
  return qorv::design_matrix_nd(multi_indices.value, X_cols.value);
}

inline py::tuple penalty_nd_adapter(Sequence<std::vector<int>>& degrees,
                                    Sequence<std::vector<std::pair<double, double>>>& bounds,
                                    int n_grid_per_dim) {
  qorv::PenaltyMatricesND r = qorv::build_penalty_matrices_nd(
      degrees.value, bounds.value, n_grid_per_dim, &raise_pending_signal);
  return py::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
}

inline VectorXd fit_regularized_adapter(MatrixIn& Phi, VectorIn& y, const py::object& R1,
                                        const py::object& R2, double gamma1, double gamma2,
                                        double ridge) {
  const OptionalMatrix r1(R1);  // R1 before R2: its failure is reported first
  const OptionalMatrix r2(R2);
  return qorv::fit_regularized_linear(Phi.borrow(), y.borrow(), r1.ptr, r2.ptr, gamma1,
                                      gamma2, ridge);
}

// `TournamentMCMC.__new__(TournamentMCMC)` makes an object that skipped
// __init__; its settings do not exist, so it must not run.
inline const qorv::TournamentMCMC& constructed(const py::object& self) {
  if (!py::isinstance<qorv::TournamentMCMC>(self))
    throw py::type_error("fit() needs a TournamentMCMC object");
  auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
  if (!inst->get_value_and_holder().holder_constructed())
    throw py::type_error("TournamentMCMC object was not initialised (__init__ not called)");
  return self.cast<const qorv::TournamentMCMC&>();
}

inline qorv::MCMCResult mcmc_fit_adapter(const py::object& self, MatrixIn& X, VectorIn& y,
                                         const py::object& R1, const py::object& R2,
                                         double gamma1, double gamma2) {
  constructed(self);  // refused before anything is converted
  const OptionalMatrix r1(R1);
  const OptionalMatrix r2(R2);
  // A copy of the settings, taken after the conversions: they run user code,
  // which could re-initialise the object.
  const qorv::TournamentMCMC mcmc = constructed(self);
  return mcmc.fit(X.borrow(), y.borrow(), r1.ptr, r2.ptr, gamma1, gamma2,
                  &raise_pending_signal);
}

}  // namespace qorv_py
